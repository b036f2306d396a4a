// Test doubles of the engine's surroundings: a port that records what goes on the line, a
// driver on a virtual clock that records every call, and a board that answers as a good
// board does. Nothing here waits on wall-clock time.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "serial/com_port.h"
#include "upgrade/driver.h"
#include "upgrade/engine.h"

namespace tarvik::testing {

using Ms = std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;

struct LineSetting {
    uint32_t baud = 115200;
    uint8_t dataBits = 8;
    uint8_t parity = 0;
    uint8_t stopBits = 0;
    bool operator==(const LineSetting&) const = default;
};

struct SentFrame {
    Ms time;
    LineSetting line;  // the port's settings when it went out
    Bytes bytes;
    uint32_t timeoutMs;
    uint8_t step() const { return bytes.size() > 3 ? bytes[3] : 0xEE; }
};

class FakeDriver;

class FakePort : public CComPort {
public:
    explicit FakePort(FakeDriver& clock) : m_clock(clock) {}

    uint32_t Setup(uint32_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits) override;
    uint32_t Write(const void* bytes, uint32_t length, uint32_t* countOut, ComOverlapped*,
                   uint32_t timeoutMs) override;
    uint32_t Read(void*, uint32_t, uint32_t* countOut, ComOverlapped*, uint32_t) override;
    uint32_t Close() override;
    bool IsOpen() const override { return open; }
    int32_t GetBaudRate() override { return static_cast<int32_t>(line.baud); }

    bool open = true;
    LineSetting line;
    std::vector<LineSetting> setups;  // every Setup call, in order
    std::vector<SentFrame> sent;      // every Write, in order (bytes kept unless `keepBytes` off)
    bool keepBytes = true;
    size_t writeCount = 0;
    // The far end: sees each frame written.
    std::function<void(const SentFrame&)> onWrite;

private:
    FakeDriver& m_clock;
};

// A driver whose timers run on a virtual clock. Advance() moves the clock and fires what
// falls due; a reply queued with Reply() is handed over at its time, before a timer due at
// the same moment (as a window handles a sent message before its timers).
class FakeDriver : public IUpgradeDriver {
public:
    FakeDriver() : port(*this) {}

    void Attach(CUpgradeEngine& engine) { m_engine = &engine; }
    Ms Now() const { return m_now; }

    // Moves the clock forward by `duration`, handling everything that falls due.
    void Advance(Ms duration);
    // Advances in steps until `done()` holds or `limit` of virtual time has passed.
    bool AdvanceUntil(const std::function<bool()>& done, Ms limit);
    // Queues a reply from the board, handed over `delay` after now.
    void Reply(const Bytes& bytes, Ms delay = Ms{0});
    bool TimerArmed(int id) const { return m_timers.count(id) != 0; }
    Ms TimerPeriod(int id) const { return m_timers.at(id).period; }

    // IUpgradeDriver
    void ArmTimer(int id, std::chrono::milliseconds period) override;
    void StopTimer(int id) override;
    void SetInfoText(const std::string& utf8) override;
    void SetStatusText(const std::string& utf8) override;
    void SetProgressRange(uint32_t minimum, uint32_t maximum) override;
    void SetProgressPos(uint32_t position) override;
    void EnableStart(bool enabled) override;
    bool IsStartEnabled() const override { return startEnabled; }
    void ShowMessage(const std::string& utf8) override;
    LineSelections Selections() const override { return selections; }
    void Wait(std::chrono::milliseconds duration) override;
    CComPort& Port() override { return port; }
    void Trace(TraceDirection direction, const uint8_t* bytes, size_t length) override;

    FakePort port;
    LineSelections selections;
    std::string info;
    std::string status;
    uint32_t rangeMin = 0;
    uint32_t rangeMax = 0;
    uint32_t position = 0;
    bool startEnabled = true;
    std::vector<std::string> messages;
    std::vector<std::string> infoHistory;
    std::vector<std::string> statusHistory;
    // Every call but Trace, in order, as short words ("arm 2 1000", "write 25", ...).
    std::vector<std::string> calls;
    bool recordCalls = true;
    size_t traced = 0;

private:
    struct Timer {
        Ms period;
        Ms due;
    };
    struct PendingReply {
        Ms due;
        Bytes bytes;
    };
    void Record(const std::string& call);

    CUpgradeEngine* m_engine = nullptr;
    Ms m_now{0};
    std::map<int, Timer> m_timers;
    std::deque<PendingReply> m_replies;

    friend class FakePort;
};

// A reply frame from the board: 23 bytes, step, payload, a correct sum, 'E' 'D'.
Bytes BoardReply(uint8_t step, const Bytes& payload = {});
// A reply that acknowledges block number `number` (16 bits on the wire).
Bytes AckReply(uint32_t number);
// A checksum reply carrying `sum`.
Bytes SumReply(uint32_t sum);

// The board's side for tests on the virtual clock: answers the frames of a good board,
// keeps every image byte it receives, and can be told to answer only at one baud rate
// or only from a moment on (a board powered up late).
class FakeBoard {
public:
    explicit FakeBoard(FakeDriver& driver);

    uint32_t answerBaud = 115200;  // the search finds it at this rate
    Ms awakeFrom{0};               // answers nothing before this virtual time
    Ms latency{5};                 // from a frame to its reply
    Bytes received;                // block data, in block order, fill included
    uint32_t blocksSeen = 0;
    uint32_t finalBlockNumber = 0xFFFFFFFF;
    bool finished = false;

private:
    void OnFrame(const SentFrame& frame);
    FakeDriver& m_driver;
    bool m_inUpgrade = false;
    uint32_t m_sum = 0;
};

// Writes `bytes` into a new file in a fresh temporary folder; the folder goes with the object.
class TempImage {
public:
    explicit TempImage(const Bytes& bytes, const std::string& name = "image.bin");
    ~TempImage();
    const std::string& path() const { return m_path; }
    const std::string& name() const { return m_name; }

private:
    std::string m_dir;
    std::string m_path;
    std::string m_name;
};

// An image of `length` bytes that passes the marker test ("IO-" at offset 1) when length
// is 4 or more; the other bytes follow a pattern that makes misplaced blocks visible.
Bytes MakeImage(uint32_t length, uint32_t seed = 1);

}  // namespace tarvik::testing
