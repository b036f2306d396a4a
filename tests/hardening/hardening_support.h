// What the hardening tests share: a private folder, firmware images, a simulated board with
// the image it received, and the tool's engine on the real-time loop driver, as tarvik-cli
// runs it, with a record of everything the operator would have seen.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "sim_process.h"
#include "upgrade/loop_driver.h"

namespace tarvik::hardening {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Bounds for waiting on the line and on children: generous, the machine is shared.
inline constexpr Ms kSimStartBound{10000};
inline constexpr Ms kUpgradeBound{60000};

// A fresh folder under the system's temporary folder, removed with its contents.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// An image of `length` bytes (4 or more) that passes the marker test, with bytes that make a
// misplaced or repeated block visible.
Bytes MakeImage(uint32_t length, uint32_t seed = 1);
void WriteFile(const std::string& path, const Bytes& bytes);
Bytes ReadFile(const std::string& path);
// What a board holds after a whole upgrade: the image, then 0xFF to the end of its last block.
Bytes ReceivedForm(const Bytes& image);

// tarvik-sim on a pseudo-terminal that writes what it received to a file.
class Board {
public:
    // `args` are fault and line options; --out is added.
    Board(const TempFolder& folder, const std::vector<std::string>& args,
          const std::string& outName = "received.bin");
    const std::string& path() const { return m_sim->slavePath(); }
    testing::SimProcess& process() { return *m_sim; }
    // Ends the board (SIGTERM) and returns its summary; the image file is then final.
    nlohmann::json Stop();
    // The summary of a board that has ended by itself.
    nlohmann::json Summary();
    std::optional<Bytes> Received() const;

private:
    std::string m_out;
    std::unique_ptr<testing::SimProcess> m_sim;
};

// The tool's engine on the loop driver, with every status text and frame on the line kept.
class Tool {
public:
    Tool();
    ~Tool();

    // Opens `port` as the window does; returns the port's code.
    uint32_t Open(const std::string& port, uint32_t baud = 115200);
    void Close() { m_driver->ClosePort(); }
    StartResult Start(const std::string& imagePath);
    // Runs the loop until `done` holds or `bound` passes; returns done().
    bool RunUntil(const std::function<bool()>& done, Ms bound);
    // Runs the loop for `duration` whatever happens.
    void RunFor(Ms duration);
    // Runs until the upgrade has ended by itself (success, failure) or has sat for `quiet`
    // with no timer left to move it on (a failure shown, or the finish command unanswered).
    bool RunUntilSettled(Ms quiet, Ms bound);

    CUpgradeEngine& Engine() { return m_driver->Engine(); }
    CLoopDriver& Driver() { return *m_driver; }
    // Forgets the status texts and frames recorded so far (a long run keeps only its own).
    void ClearRecords();
    // Every status text shown, in order (repeats of the same text once).
    const std::vector<std::string>& StatusHistory() const { return m_status; }
    bool EverShown(const std::string& status) const;
    // Step bytes of the frames sent, in order, and when.
    struct Sent {
        Clock::time_point at;
        uint8_t step;
        uint16_t block;  // the block number of a data frame, else 0
        size_t length;
    };
    const std::vector<Sent>& SentFrames() const { return m_sent; }

private:
    CEventLoop m_loop;
    std::unique_ptr<CLoopDriver> m_driver;
    std::vector<std::string> m_status;
    std::vector<Sent> m_sent;
};

// A program run to its end with its output collected.
struct ChildRun {
    std::optional<int> exitCode;  // nothing when it did not end in time (it is then killed)
    int signal = 0;               // the signal that ended it, if one did
    std::string out;
    std::string err;
};
// Runs `program` with `args` (standard input from /dev/null) and waits up to `bound`.
ChildRun RunChild(const std::string& program, const std::vector<std::string>& args, Ms bound);

// CPU time (user + system) this process has used so far.
std::chrono::microseconds ProcessCpuTime();
// Bytes the allocator hands out right now; nothing under a sanitizer, whose allocator the
// count would not describe.
std::optional<size_t> HeapInUse();
// Resident memory of this process, in KiB.
size_t ResidentKiB();

}  // namespace tarvik::hardening
