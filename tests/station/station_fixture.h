// A station run in process as a station window runs it: the station's loop on a worker
// thread, the test reading its snapshots from the main thread, every event kept for the
// checks after the run.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "station/station.h"

namespace tarvik::testing {

// Everything the station told its view, in order (written on the station's thread, read
// after it has been joined).
struct StationSeen {
    std::vector<StationBoardEnd> ends;
    std::vector<std::pair<size_t, std::string>> prompts;
    std::vector<BoardRecord> records;
    std::vector<std::string> logErrors;
    // Per port, every state a snapshot showed, without repeats.
    std::vector<std::vector<StationState>> states;
};

class StationTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string Path(const std::string& name) const;
    // An image of `length` bytes the board takes ("IO-" at offset 1); returns its path.
    std::string WriteImage(const std::string& name, uint32_t length) const;

    // Ends the station of an earlier case (stopping it if it still runs) and forgets what it
    // told: the next Start begins afresh.
    void Reset();
    // Starts a station with `options`; the events go to seen().
    std::optional<StationStartError> Start(StationOptions options);
    // Runs it on a worker thread.
    void RunOnWorker();
    // Reads snapshots every few milliseconds (noting the states of each port) until `done`
    // holds for one, for at most `timeout`. True when it did.
    bool WaitFor(const std::function<bool(const StationSnapshot&)>& done,
                 std::chrono::milliseconds timeout);
    // Waits for the run to end (at most `timeout`, then it is stopped) and returns how.
    StationOutcome Join(std::chrono::milliseconds timeout);

    // Every frame on a line, on the station's thread (set before Start).
    std::function<void(const std::string& port, TraceDirection, const uint8_t*, size_t)> onTrace;

    CStation& station() { return *m_station; }
    const StationSeen& seen() const { return m_seen; }

private:
    void Note(const StationSnapshot& snapshot);

    std::filesystem::path m_dir;
    StationSeen m_seen;
    std::vector<std::vector<StationState>> m_states;  // main thread
    std::unique_ptr<CStation> m_station;
    std::thread m_worker;
    std::optional<StationOutcome> m_outcome;
};

}  // namespace tarvik::testing
