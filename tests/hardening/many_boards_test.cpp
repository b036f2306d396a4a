// Several boards on one loop, as tarvik-cli runs them: the pause the engine takes after a
// board has answered (it waits for the board to change its line speed) belongs to that one
// port. The others keep receiving and answering meanwhile; otherwise every board of a run
// would stand still for every other board's pause.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

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

}  // namespace
}  // namespace tarvik::hardening
