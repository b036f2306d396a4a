// Several boards on one loop, as tarvik-cli runs them: the pause the engine takes after a
// board has answered (it waits for the board to change its line speed) belongs to that one
// port, and so does the time a write takes to leave its line. The others keep receiving
// and answering meanwhile; otherwise every board of a run would stand still for every other
// board's pause and every other board's frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "draining_line.h"
#include "hardening_support.h"
#include "pty_pair.h"
#include "upgrade/frames.h"

namespace tarvik::hardening {
namespace {

// Far longer than a reply takes to cross a pseudo-terminal, even on a loaded machine.
constexpr Ms kLongPause{3000};

Bytes BoardReply(uint8_t step) {
    constexpr size_t kSumAt = kCmdFrameSize - 3;  // then 'E' 'D'
    Bytes reply(kCmdFrameSize, 0);
    reply[0] = 'h';
    reply[1] = ':';
    reply[2] = 'W';
    reply[3] = step;
    for (size_t i = 0; i < kSumAt; ++i) {
        reply[kSumAt] = static_cast<uint8_t>(reply[kSumAt] + reply[i]);
    }
    reply[kSumAt + 1] = 'E';
    reply[kSumAt + 2] = 'D';
    return reply;
}

TEST(ManyBoards, OnePortsPauseDoesNotHoldUpAnother) {
    TempFolder folder;
    const std::string imagePath = folder.file("image.bin");
    WriteFile(imagePath, MakeImage(1000));

    CEventLoop loop;
    CLoopDriver pausing(loop);
    CLoopDriver other(loop);
    testing::PtyPair line;
    ASSERT_EQ(other.OpenPort(line.slavePath(), 115200), kErrSuccess);
    ASSERT_EQ(other.Engine().Start(imagePath, "image.bin"), StartResult::Started);
    ASSERT_EQ(line.receive(kCmdFrameSize, kLongPause).size(), kCmdFrameSize);

    // The other board answers while the first port pauses.
    line.send(BoardReply(kStepEnterUpgrade));
    pausing.Wait(kLongPause);

    EXPECT_TRUE(other.Engine().DeviceFound()) << "the answer waited for the other port's pause";
    EXPECT_EQ(other.Engine().Phase(), UpgradePhase::Handshake);
    const Bytes next = line.receive(kCmdFrameSize, kLongPause);
    ASSERT_EQ(next.size(), kCmdFrameSize) << "no begin-transfer command went out meanwhile";
    EXPECT_EQ(next[3], kStepBeginTransfer);
    other.ClosePort();
}

// Two ports on lines that drain at their rate, as real UARTs do. One leads to nobody and
// sends its search frames on a line slow enough that each write lasts about a tenth of a
// second; the other leads to a board that takes a whole upgrade while that scan goes on. The
// board's replies must be handled while the slow port's write is still waiting for its bytes to
// leave: a write that held every port would let no reply in between.
TEST(ManyBoards, OnePortsWriteOnADrainingLineDoesNotHoldUpAnother) {
    // 23 bytes a search frame: ~100 ms a write, well inside the port's 300 ms write limit.
    constexpr std::chrono::microseconds kSlowByteTime{4300};
    TempFolder folder;
    const std::string imagePath = folder.file("image.bin");
    WriteFile(imagePath, MakeImage(4096));

    std::mutex mutex;
    std::vector<std::string> events;  // in the order they happened
    const auto note = [&](const char* event) {
        std::lock_guard<std::mutex> lock(mutex);
        events.emplace_back(event);
    };
    testing::PtyPair nobody;
    testing::DrainingLines lines;
    lines.SetByteTime(nobody.slavePath(), kSlowByteTime);
    lines.onWrite = [&](const std::string& path, size_t) {
        if (path == nobody.slavePath()) {
            note("slow write");
        }
    };
    lines.onDrained = [&](const std::string& path) {
        if (path == nobody.slavePath()) {
            note("slow left");
        }
    };
    Board board(folder, {});

    CEventLoop loop;
    CLoopDriver slow(loop);
    CLoopDriver busy(loop);
    busy.onTrace = [&](TraceDirection direction, const uint8_t*, size_t) {
        if (direction == TraceDirection::Received) {
            note("reply");
        }
    };
    ASSERT_EQ(slow.OpenPort(nobody.slavePath(), 115200), kErrSuccess);
    ASSERT_EQ(busy.OpenPort(board.path(), 115200), kErrSuccess);
    ASSERT_EQ(slow.Engine().Start(imagePath, "image.bin"), StartResult::Started);
    // The board's upgrade begins once the slow port's scan has (a second after Start), so
    // that the whole of it falls among the slow port's frames.
    const auto slowWrites = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return std::count(events.begin(), events.end(), "slow write");
    };
    ASSERT_TRUE(loop.RunUntil([&] { return slowWrites() >= 2; }, Clock::now() + kUpgradeBound))
        << "the slow port's scan never began";
    ASSERT_EQ(busy.Engine().Start(imagePath, "image.bin"), StartResult::Started);
    ASSERT_TRUE(loop.RunUntil([&] { return busy.Engine().Outcome() != UpgradeOutcome::None; },
                              Clock::now() + kUpgradeBound))
        << "the board's upgrade never ended";
    EXPECT_EQ(busy.Engine().Outcome(), UpgradeOutcome::Succeeded);
    slow.RequestClose();
    busy.RequestClose();
    slow.ClosePort();
    busy.ClosePort();

    // A reply between one slow write and the moment its bytes had left, no other slow write
    // in between.
    std::lock_guard<std::mutex> lock(mutex);
    bool writing = false;
    bool replyMeanwhile = false;
    int repliesDuringWrites = 0;
    for (const std::string& event : events) {
        if (event == "slow write") {
            writing = true;
            replyMeanwhile = false;
        } else if (event == "reply") {
            replyMeanwhile = replyMeanwhile || writing;
        } else if (event == "slow left") {
            repliesDuringWrites += replyMeanwhile ? 1 : 0;
            writing = false;
            replyMeanwhile = false;
        }
    }
    EXPECT_GT(repliesDuringWrites, 0)
        << "no reply was handled while the slow port's write waited for its line";
}

}  // namespace
}  // namespace tarvik::hardening
