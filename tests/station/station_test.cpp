// The station as its windows use it: the loop on a worker thread, snapshots read from another
// thread, each board's outcome and record handed over, a stop asked from outside.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "sim_process.h"
#include "station_fixture.h"
#include "upgrade/board_record.h"
#include "upgrade/texts.h"

namespace tarvik::testing {
namespace {

using std::chrono::milliseconds;

// Long enough for a board to be seen at every stage from a thread that looks every 10 ms,
// short enough to go through a pseudo-terminal in well under a second.
constexpr uint32_t kImageLength = 64 * 1024;
// Far longer than any test waits for, on a line that takes its time.
constexpr uint32_t kLongImage = 1 << 20;
// Generous bounds for a loaded two-core machine.
constexpr milliseconds kRowTime{60000};
constexpr milliseconds kFoundTime{20000};

bool Contains(const std::vector<StationState>& states, StationState state) {
    return std::find(states.begin(), states.end(), state) != states.end();
}

TEST_F(StationTest, RowOfBoardsIsTakenOnceEachAndShownStateByState) {
    // Two boards one after the other; the first stays on, answering, for a while after its
    // upgrade, as an operator is slow to take it off.
    SimProcess sim({"--boards", "2", "--stay", "1", "--swap", "2", "--timeout", "120"});
    StationOptions options;
    options.ports = {sim.slavePath()};
    options.image = WriteImage("fw.bin", kImageLength);
    options.log = Path("boards.csv");
    options.count = 2;
    ASSERT_FALSE(Start(options).has_value());
    RunOnWorker();
    const StationOutcome outcome = Join(kRowTime);

    EXPECT_FALSE(outcome.stopped);
    EXPECT_FALSE(outcome.anyFailed);
    EXPECT_FALSE(outcome.logFailed);
    ASSERT_EQ(seen().ends.size(), 2u);
    ASSERT_EQ(seen().records.size(), 2u);
    for (uint32_t i = 0; i < 2; ++i) {
        const StationBoardEnd& end = seen().ends[i];
        EXPECT_EQ(end.board, i + 1);
        EXPECT_EQ(end.verdict, Verdict::Succeeded);
        EXPECT_EQ(end.result, text::kUpgradeSucceeded);
        EXPECT_EQ(end.counters.boards, i + 1);
        EXPECT_EQ(end.counters.succeeded, i + 1);
        EXPECT_EQ(seen().records[i].board, i + 1);
        EXPECT_EQ(seen().records[i].result, kRecordOk);
        EXPECT_EQ(seen().records[i].port, sim.slavePath());
    }
    // The operator is told to put the first board on, to take it off and to put the next
    // one on; after the count the port is done and asks for nothing.
    const std::vector<std::pair<size_t, std::string>> prompts = {
        {0, kStationPlaceBoard}, {0, kStationRemoveBoard}, {0, kStationPlaceNextBoard}};
    EXPECT_EQ(seen().prompts, prompts);

    ASSERT_EQ(seen().states.size(), 1u);
    const std::vector<StationState>& states = seen().states[0];
    for (const StationState state : {StationState::PlaceBoard, StationState::Upgrading,
                                     StationState::RemoveBoard, StationState::Done}) {
        EXPECT_TRUE(Contains(states, state)) << static_cast<int>(state);
    }
    EXPECT_EQ(states.back(), StationState::Done);

    const StationSnapshot last = station().Snapshot();
    EXPECT_TRUE(last.finished);
    EXPECT_FALSE(last.anyTransfer);
    EXPECT_EQ(last.totals.boards, 2u);
    EXPECT_EQ(last.totals.succeeded, 2u);
    ASSERT_TRUE(last.ports[0].last.has_value());
    EXPECT_EQ(last.ports[0].last->board, 2u);
    EXPECT_TRUE(last.totals.MeanSeconds().has_value());
}

TEST_F(StationTest, SnapshotShowsTheTransferAsItGoes) {
    SimProcess sim({"--pace", "--timeout", "120"});
    StationOptions options;
    options.ports = {sim.slavePath()};
    options.image = WriteImage("fw.bin", kLongImage);
    ASSERT_FALSE(Start(options).has_value());
    RunOnWorker();
    // Some blocks in, at a paced line's rate: the view has all it needs to draw the bar.
    ASSERT_TRUE(WaitFor(
        [](const StationSnapshot& s) {
            const StationPortSnapshot& p = s.ports[0];
            return p.state == StationState::Upgrading && p.bytesPerSecond && p.blocks > 20;
        },
        kFoundTime));
    const StationPortSnapshot port = station().Snapshot().ports[0];
    EXPECT_EQ(port.totalBlocks, kLongImage / 128 + 1);
    ASSERT_TRUE(port.percent.has_value());
    EXPECT_LT(*port.percent, 100);
    ASSERT_TRUE(port.timeLeft.has_value());
    EXPECT_GT(*port.timeLeft, milliseconds{0});
    EXPECT_TRUE(port.deviceFound);
    EXPECT_TRUE(station().AnyTransfer());
    station().RequestStop();
    Join(kRowTime);
}

// A stop asked from another thread, as a window's 停止: a board in transfer is recorded as
// interrupted; a port that only waits for a board records nothing.
TEST_F(StationTest, StopFromAnotherThreadRecordsOnlyTheBoardInTransfer) {
    struct Case {
        const char* name;
        std::vector<std::string> simArgs;
        bool transfer;
    };
    const std::vector<Case> cases = {
        {"in transfer", {"--pace", "--timeout", "120"}, true},
        {"waiting for a board", {"--boot-after", "100", "--timeout", "120"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimProcess sim(c.simArgs);
        StationOptions options;
        options.ports = {sim.slavePath()};
        options.image = WriteImage("fw.bin", kLongImage);
        options.log = Path("boards.jsonl");
        ASSERT_FALSE(Start(options).has_value());
        RunOnWorker();
        if (c.transfer) {
            ASSERT_TRUE(
                WaitFor([](const StationSnapshot& s) { return s.anyTransfer; }, kFoundTime));
            EXPECT_TRUE(station().AnyTransfer());
        } else {
            ASSERT_TRUE(WaitFor(
                [](const StationSnapshot& s) {
                    return s.ports[0].state == StationState::PlaceBoard &&
                           s.ports[0].elapsed > milliseconds{1500};
                },
                kFoundTime));
            EXPECT_FALSE(station().AnyTransfer());
        }
        station().RequestStop();
        const StationOutcome outcome = Join(kRowTime);
        EXPECT_TRUE(outcome.stopped);
        EXPECT_EQ(outcome.interrupted, c.transfer);
        EXPECT_FALSE(outcome.anyFailed);
        if (c.transfer) {
            ASSERT_EQ(seen().records.size(), 1u);
            EXPECT_EQ(seen().records[0].result, kRecordInterrupted);
            ASSERT_EQ(seen().ends.size(), 1u);
            EXPECT_EQ(seen().ends[0].verdict, Verdict::Stopped);
            EXPECT_EQ(seen().ends[0].counters.interrupted, 1u);
            // A board stopped half-way tells nothing of how long a board takes.
            EXPECT_FALSE(station().Snapshot().totals.MeanSeconds().has_value());
        } else {
            EXPECT_TRUE(seen().records.empty());
            EXPECT_TRUE(seen().ends.empty());
        }
        EXPECT_EQ(station().Snapshot().ports[0].state, StationState::Done);
        Reset();
    }
}

// A stop asked the moment the finish command goes out: the board's answer is on its way,
// and a board that has finished is no interrupted one.
TEST_F(StationTest, StopAsTheFinishCommandGoesOutRecordsTheFinishedBoard) {
    SimProcess sim({"--timeout", "120"});
    onTrace = [this](const std::string&, TraceDirection direction, const uint8_t* bytes,
                     size_t length) {
        constexpr size_t kStepByte = 3;
        constexpr uint8_t kFinishStep = 0x1e;
        if (direction == TraceDirection::Sent && length > kStepByte &&
            bytes[kStepByte] == kFinishStep) {
            station().RequestStop();
        }
    };
    StationOptions options;
    options.ports = {sim.slavePath()};
    options.image = WriteImage("fw.bin", kImageLength);
    options.log = Path("boards.jsonl");
    ASSERT_FALSE(Start(options).has_value());
    RunOnWorker();
    const StationOutcome outcome = Join(kRowTime);
    EXPECT_TRUE(outcome.stopped);
    EXPECT_FALSE(outcome.interrupted);
    ASSERT_EQ(seen().records.size(), 1u);
    EXPECT_EQ(seen().records[0].result, kRecordOk);
    ASSERT_EQ(seen().ends.size(), 1u);
    EXPECT_EQ(seen().ends[0].verdict, Verdict::Succeeded);
    EXPECT_EQ(station().Snapshot().ports[0].state, StationState::Done);
}

TEST_F(StationTest, StartErrorsSayWhatAndLeaveNothingOpen) {
    SimProcess sim({"--timeout", "60"});
    const std::string good = WriteImage("fw.bin", kImageLength);
    const std::string unmarked = Path("plain.bin");
    { std::ofstream(unmarked) << "no marker in this file at all, long enough to be an image"; }
    struct Case {
        const char* name;
        std::vector<std::string> ports;
        std::string image;
        std::optional<std::string> log;
        StationStartError::Kind kind;
        std::string port;
    };
    const std::string missing = Path("no-such-tty");
    const std::vector<Case> cases = {
        {"image without its marker",
         {sim.slavePath()},
         unmarked,
         std::nullopt,
         StationStartError::Kind::Image,
         ""},
        {"missing image",
         {sim.slavePath()},
         Path("gone.bin"),
         std::nullopt,
         StationStartError::Kind::Image,
         ""},
        {"log in a missing folder",
         {sim.slavePath()},
         good,
         Path("no/such/folder/log.csv"),
         StationStartError::Kind::Log,
         ""},
        {"second port missing",
         {sim.slavePath(), missing},
         good,
         std::nullopt,
         StationStartError::Kind::Port,
         missing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StationOptions options;
        options.ports = c.ports;
        options.image = c.image;
        options.log = c.log;
        const std::optional<StationStartError> error = Start(options);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->kind, c.kind);
        EXPECT_EQ(error->port, c.port);
        if (c.kind == StationStartError::Kind::Port) {
            EXPECT_NE(error->code, 0u);
        } else {
            EXPECT_FALSE(error->text.empty());
        }
    }
    // The first port of the last case was closed again: a station opens it at once.
    StationOptions options;
    options.ports = {sim.slavePath()};
    options.image = good;
    EXPECT_FALSE(Start(options).has_value());
}

}  // namespace
}  // namespace tarvik::testing
