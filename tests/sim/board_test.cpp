// The board's answers, its image and its counters, frame by frame, without a line.
#include "board.h"

#include <gtest/gtest.h>

#include "line_bytes.h"

namespace {

using namespace simtest;
using tarvik::sim::Board;
using tarvik::sim::BoardSettings;
using tarvik::sim::FaultKind;
using tarvik::sim::FaultRule;
using tarvik::sim::Outcome;

constexpr std::uint32_t kUpgradeRate = 115200;

// The single reply in an outcome, or nothing.
Bytes onlyReply(const Outcome& out) {
    if (out.sends.size() != 1 || out.sends[0].after.count() != 0) {
        ADD_FAILURE() << "expected one immediate transmission, got " << out.sends.size();
        return {};
    }
    return out.sends[0].bytes;
}

struct VectorCase {
    const char* name;
    bool endDot;
};

void PrintTo(const VectorCase& c, std::ostream* os) {
    *os << c.name;
}

class ReplyVectors : public ::testing::TestWithParam<VectorCase> {};

// The board's replies to the frames of a 256-byte upgrade of zeros, byte for byte.
TEST_P(ReplyVectors, WholeUpgradeOfZeros) {
    const bool dot = GetParam().endDot;
    const Bytes end = dot ? hex("45 2E") : hex("45 44");
    BoardSettings settings;
    settings.endDot = dot;
    Board board(settings);

    struct Step {
        Bytes frame;
        Bytes reply;
    };
    const std::vector<Step> steps = {
        // enter-upgrade, answered with step 25
        {hex("68 3A 57 19") + fill(16, 0) + hex("12 45 2E"),
         hex("68 3A 57 19") + fill(16, 0) + hex("12") + end},
        // begin-transfer
        {hex("68 3A 57 1A") + fill(16, 0) + hex("13 45 2E"),
         hex("68 3A 57 1A") + fill(16, 0) + hex("13") + end},
        // data block 0 of zeros: acknowledged with the next block number, 1
        {hex("68 3A 57 1B 00 00") + fill(128, 0) + hex("14 45 2E"),
         hex("68 3A 57 1B 01 00") + fill(14, 0) + hex("15") + end},
        // data block 1 of zeros: acknowledged with 2
        {hex("68 3A 57 1B 01 00") + fill(128, 0) + hex("15 45 2E"),
         hex("68 3A 57 1B 02 00") + fill(14, 0) + hex("16") + end},
        // final block 2, all fill
        {hex("68 3A 57 1C 02 00") + fill(128, 0xFF) + hex("97 45 2E"),
         hex("68 3A 57 1C") + fill(16, 0) + hex("15") + end},
        // checksum request: 128 x 0xFF = 32640 = 0x00007F80, little-endian in bytes 4..7
        {hex("68 3A 52 1D") + fill(16, 0) + hex("11 45 2E"),
         hex("68 3A 52 1D 80 7F 00 00") + fill(12, 0) + hex("10") + end},
        // finish
        {hex("68 3A 57 1E 01") + fill(15, 0) + hex("18 45 2E"),
         hex("68 3A 57 1E") + fill(16, 0) + hex("17") + end},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const Outcome out = board.receive(steps[i].frame, kUpgradeRate);
        EXPECT_TRUE(out.understood);
        EXPECT_EQ(onlyReply(out), steps[i].reply);
        ASSERT_EQ(out.sends.size(), 1u);
        EXPECT_TRUE(out.sends[0].reply);
    }
    EXPECT_EQ(board.sum(), 32640u);
    EXPECT_TRUE(board.stats().finished);
    EXPECT_EQ(board.stats().upgrades, 1u);
}

INSTANTIATE_TEST_SUITE_P(Endings, ReplyVectors,
                         ::testing::Values(VectorCase{"EndD", false}, VectorCase{"EndDot", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BoardReplies, AcknowledgementNumberIsSixteenBitsAndWraps) {
    Board board(BoardSettings{});
    board.receive(command('W', 26), kUpgradeRate);
    // 0x00FF -> 0x0100 carries into the high byte; 0xFFFF -> 0x0000 wraps.
    EXPECT_EQ(onlyReply(board.receive(block(27, 0x00FF, fill(128, 0)), kUpgradeRate)),
              hex("68 3A 57 1B 00 01") + fill(14, 0) + hex("15 45 44"));
    EXPECT_EQ(onlyReply(board.receive(block(27, 0xFFFF, fill(128, 0)), kUpgradeRate)),
              hex("68 3A 57 1B 00 00") + fill(14, 0) + hex("14 45 44"));
}

TEST(BoardReplies, SumIsLittleEndianInBytesFourToSeven) {
    // 200 blocks of 0xFF = 6,528,000 = 0x00639C00: three bytes of the sum in use.
    Board board(BoardSettings{});
    board.receive(command('W', 26), kUpgradeRate);
    for (unsigned n = 0; n < 200; ++n) {
        board.receive(block(27, static_cast<std::uint16_t>(n), fill(128, 0xFF)), kUpgradeRate);
    }
    EXPECT_EQ(onlyReply(board.receive(command('R', 29), kUpgradeRate)),
              reply('R', 29, hex("00 9C 63 00")));
}

TEST(BoardReplies, RefusedFrameIsAnsweredWithStepZeroAndNotStored) {
    BoardSettings settings;
    settings.faults.add(FaultRule{FaultKind::kFail, 27, 1, 1, {}});
    Board board(settings);
    board.receive(command('W', 26), kUpgradeRate);
    EXPECT_EQ(onlyReply(board.receive(block(27, 0, fill(128, 0x11)), kUpgradeRate)),
              hex("68 3A 57 00") + fill(16, 0) + hex("F9 45 44"));
    EXPECT_TRUE(board.image().empty());
    EXPECT_EQ(board.sum(), 0u);
}

TEST(BoardReplies, StepsOutsideTheProtocolAreCountedAndNotAnswered) {
    Board board(BoardSettings{});
    const Outcome out = board.receive(command('W', 0x40), kUpgradeRate);
    EXPECT_TRUE(out.understood);
    EXPECT_TRUE(out.sends.empty());
    EXPECT_EQ(board.stats().frames.at(0x40), 1u);
}

TEST(BoardImage, HoldsEveryBlockInOrderWithTheFinalFill) {
    const Bytes image = patternImage(300);
    const Exchange x = upgradeOf(image);
    Board board(BoardSettings{});
    for (std::size_t i = 0; i < x.frames.size(); ++i) {
        EXPECT_EQ(onlyReply(board.receive(x.frames[i], kUpgradeRate)), x.replies[i]) << i;
    }
    ASSERT_EQ(board.image().size(), 384u);
    EXPECT_EQ(Bytes(board.image().begin(), board.image().begin() + 300), image);
    EXPECT_EQ(Bytes(board.image().begin() + 300, board.image().end()), fill(84, 0xFF));
    EXPECT_EQ(board.sum(), x.sum);
    EXPECT_EQ(board.stats().outOfOrder, 0u);
    EXPECT_EQ(board.stats().resends, 0u);
}

TEST(BoardImage, ResentBlockReplacesTheStoredOne) {
    Board board(BoardSettings{});
    board.receive(command('W', 26), kUpgradeRate);
    board.receive(block(27, 0, fill(128, 0x01)), kUpgradeRate);
    board.receive(block(27, 1, fill(128, 0x02)), kUpgradeRate);
    // Block 0 again, with other data, after block 1: a repeat, not out of order.
    const Outcome again = board.receive(block(27, 0, fill(128, 0x03)), kUpgradeRate);
    EXPECT_EQ(onlyReply(again), reply('W', 27, le16(1)));
    EXPECT_EQ(board.image(), fill(128, 0x03) + fill(128, 0x02));
    EXPECT_EQ(board.sum(), 128u * 3 + 128u * 2);
    EXPECT_EQ(board.stats().resends, 1u);
    EXPECT_EQ(board.stats().outOfOrder, 0u);
}

// Block numbers are 16 bits on the wire: an image of more than 65,536 blocks goes on past
// block 65535 instead of writing block 65,536 over block 0.
TEST(BoardImage, MoreThan65536BlocksGoOnPastTheSixteenBitNumber) {
    constexpr std::size_t kBlocks = 0x10000 + 3;
    Board board(BoardSettings{});
    board.receive(command('W', 26), kUpgradeRate);
    for (std::size_t n = 0; n < kBlocks; ++n) {
        const Bytes data = fill(128, static_cast<std::uint8_t>(n % 251));
        board.receive(block(27, static_cast<std::uint16_t>(n & 0xFFFF), data), kUpgradeRate);
    }
    // A resend of the block just past the wrap lands on that block again.
    const Bytes again = fill(128, 0xAA);
    board.receive(block(27, 2, again), kUpgradeRate);
    ASSERT_EQ(board.image().size(), kBlocks * 128);
    EXPECT_EQ(board.image()[0], 0);
    EXPECT_EQ(board.image()[0x10000 * 128], 0x10000 % 251);
    EXPECT_EQ(board.image()[(0x10000 + 2) * 128], 0xAA);
    EXPECT_EQ(board.stats().outOfOrder, 0u);
    EXPECT_EQ(board.stats().resends, 1u);
}

TEST(BoardImage, BlocksOutOfOrderAreCountedAndGapsReadAsErased) {
    Board board(BoardSettings{});
    board.receive(command('W', 26), kUpgradeRate);
    board.receive(block(27, 0, fill(128, 0x01)), kUpgradeRate);
    board.receive(block(27, 2, fill(128, 0x02)), kUpgradeRate);  // skips block 1
    board.receive(block(27, 1, fill(128, 0x03)), kUpgradeRate);  // fills the gap: behind 2
    EXPECT_EQ(board.stats().outOfOrder, 2u);
    EXPECT_EQ(board.stats().resends, 0u);
    EXPECT_EQ(board.image(), fill(128, 0x01) + fill(128, 0x03) + fill(128, 0x02));

    Board gap(BoardSettings{});
    gap.receive(command('W', 26), kUpgradeRate);
    gap.receive(block(28, 1, fill(128, 0x05)), kUpgradeRate);
    EXPECT_EQ(gap.image(), fill(128, 0xFF) + fill(128, 0x05));
    EXPECT_EQ(gap.sum(), 128u * 5);  // the gap was never received: not in the sum
}

TEST(BoardImage, BeginTransferStartsAFreshImage) {
    Board board(BoardSettings{});
    board.receive(command('W', 26), kUpgradeRate);
    board.receive(block(27, 0, fill(128, 0x01)), kUpgradeRate);
    board.receive(block(27, 1, fill(128, 0x01)), kUpgradeRate);
    board.receive(command('W', 26, {0x00}), kUpgradeRate);  // a resend: identical frame
    EXPECT_TRUE(board.image().empty());
    EXPECT_EQ(board.sum(), 0u);
    board.receive(block(28, 0, fill(128, 0x07)), kUpgradeRate);
    EXPECT_EQ(board.image(), fill(128, 0x07));
    EXPECT_EQ(board.stats().outOfOrder, 0u);
}

TEST(BoardCounters, RepeatedCommandFramesAreResends) {
    Board board(BoardSettings{});
    board.receive(command('R', 29), kUpgradeRate);
    board.receive(command('R', 29), kUpgradeRate);
    board.receive(command('W', 26), kUpgradeRate);
    board.receive(command('R', 29), kUpgradeRate);  // not right after the same frame
    EXPECT_EQ(board.stats().resends, 1u);
    EXPECT_EQ(board.stats().frames.at(29), 3u);
    EXPECT_EQ(board.stats().frames.at(26), 1u);
}

TEST(BoardLineSpeed, ListensAtItsRateThenAtTheUpgradeRateThenAgainAtItsOwn) {
    BoardSettings settings;
    settings.baud = 9600;
    Board board(settings);
    struct Case {
        Bytes frame;
        std::uint32_t baud;
        bool understood;
        std::uint32_t listening;  // after the frame
    };
    const std::vector<Case> cases = {
        {command('W', 25), 115200, false, 9600},  {command('W', 25), 19200, false, 9600},
        {command('W', 25), 9600, true, 115200},   {command('W', 26), 9600, false, 115200},
        {command('W', 26), 115200, true, 115200}, {command('W', 30, {1}), 115200, true, 9600},
        {command('W', 26), 115200, false, 9600},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        const Outcome out = board.receive(cases[i].frame, cases[i].baud);
        EXPECT_EQ(out.understood, cases[i].understood);
        EXPECT_EQ(out.sends.size(), cases[i].understood ? 1u : 0u);
        EXPECT_EQ(board.listenBaud(), cases[i].listening);
    }
    EXPECT_EQ(board.stats().wrongSpeed, 4u);
    EXPECT_EQ(board.stats().speeds, (std::vector<std::uint32_t>{115200, 19200, 9600}));
}

TEST(BoardLineSpeed, AnswerToEnterUpgradeGoesOutAtTheOldRate) {
    BoardSettings settings;
    settings.baud = 9600;
    Board board(settings);
    const Outcome out = board.receive(command('W', 25), 9600);
    ASSERT_EQ(out.sends.size(), 1u);
    EXPECT_EQ(out.sends[0].baud, 9600u);
}

TEST(BoardLineSpeed, GarbleAnswersTheWrongRateWithGarbageThatIsNoFrame) {
    BoardSettings settings;
    settings.garble = true;
    Board board(settings);
    const Outcome out = board.receive(command('W', 25), 9600);
    EXPECT_FALSE(out.understood);
    ASSERT_EQ(out.sends.size(), 1u);
    EXPECT_FALSE(out.sends[0].reply);
    EXPECT_FALSE(out.sends[0].bytes.empty());
    EXPECT_LT(out.sends[0].bytes.size(), 23u);
    for (std::uint8_t b : out.sends[0].bytes) {
        EXPECT_NE(b, 0x68);  // nothing that could start a frame
    }
    EXPECT_EQ(board.stats().frames.count(25), 0u);
}

TEST(BoardFinish, SilentFinishStillCompletesTheUpgrade) {
    BoardSettings settings;
    settings.silentFinish = true;
    Board board(settings);
    const Outcome out = board.receive(command('W', 30, {1}), kUpgradeRate);
    EXPECT_TRUE(out.sends.empty());
    EXPECT_TRUE(out.imageComplete);
    EXPECT_EQ(board.stats().upgrades, 1u);
    EXPECT_TRUE(board.stats().finished);
}

TEST(BoardFinish, RefusedFinishDoesNotCompleteTheUpgrade) {
    BoardSettings settings;
    settings.faults.add(FaultRule{FaultKind::kFail, 30, 1, 1, {}});
    Board board(settings);
    const Outcome out = board.receive(command('W', 30, {1}), kUpgradeRate);
    EXPECT_FALSE(out.imageComplete);
    EXPECT_EQ(board.stats().upgrades, 0u);
    EXPECT_FALSE(board.stats().finished);
}

TEST(BoardFaults, DroppedReplyStillStoresTheBlock) {
    BoardSettings settings;
    settings.faults.add(FaultRule{FaultKind::kDrop, 27, 1, 1, {}});
    Board board(settings);
    board.receive(command('W', 26), kUpgradeRate);
    EXPECT_TRUE(board.receive(block(27, 0, fill(128, 9)), kUpgradeRate).sends.empty());
    EXPECT_EQ(board.image(), fill(128, 9));
    // The tool's resend is a repeat and is answered.
    EXPECT_EQ(onlyReply(board.receive(block(27, 0, fill(128, 9)), kUpgradeRate)),
              reply('W', 27, le16(1)));
    EXPECT_EQ(board.stats().resends, 1u);
    EXPECT_EQ(board.stats().lostReplies, 1u);
}

TEST(BoardFaults, CombinedFaultsShapeOneReply) {
    // Garbage, a wrong checksum, a burst and a delay, all on the same reply; a duplicate
    // follows its gap after the delay.
    BoardSettings settings;
    for (FaultKind kind : {FaultKind::kGarbage, FaultKind::kCorrupt, FaultKind::kBurst}) {
        settings.faults.add(FaultRule{kind, 26, 1, 1, {}});
    }
    settings.faults.add(FaultRule{FaultKind::kDelay, 26, 1, 1, std::chrono::milliseconds(200)});
    settings.faults.add(FaultRule{FaultKind::kDup, 26, 1, 1, std::chrono::milliseconds(30)});
    Board board(settings);
    const Outcome out = board.receive(command('W', 26), kUpgradeRate);
    Bytes bad = reply('W', 26);
    bad[20] = static_cast<std::uint8_t>(bad[20] + 1);
    ASSERT_EQ(out.sends.size(), 2u);
    EXPECT_EQ(out.sends[0].after.count(), 200);
    EXPECT_EQ(out.sends[1].after.count(), 230);
    for (const auto& send : out.sends) {
        ASSERT_GT(send.bytes.size(), 46u);
        const Bytes tail(send.bytes.end() - 46, send.bytes.end());
        EXPECT_EQ(tail, bad + bad);
        EXPECT_NE(send.bytes[0], 0x68);
    }
    // The next begin-transfer is the second of its kind: untouched.
    EXPECT_EQ(onlyReply(board.receive(command('W', 26), kUpgradeRate)), reply('W', 26));
}

TEST(BoardFaults, VanishIsAskedForOnlyAfterTheNamedBlock) {
    BoardSettings settings;
    settings.vanishAfter = 1;
    Board board(settings);
    board.receive(command('W', 26), kUpgradeRate);
    EXPECT_FALSE(board.receive(block(27, 0, fill(128, 0)), kUpgradeRate).vanish);
    const Outcome out = board.receive(block(27, 1, fill(128, 0)), kUpgradeRate);
    EXPECT_TRUE(out.vanish);
    EXPECT_EQ(onlyReply(out), reply('W', 27, le16(2)));
}

// Which of `count` acknowledgements a board with this loss loses.
std::vector<bool> lossPattern(double p, std::uint32_t seed, unsigned count) {
    BoardSettings settings;
    settings.loss = p;
    settings.seed = seed;
    Board board(settings);
    board.receive(command('W', 26), kUpgradeRate);
    std::vector<bool> lost;
    for (unsigned n = 0; n < count; ++n) {
        lost.push_back(
            board.receive(block(27, static_cast<std::uint16_t>(n), fill(128, 0)), kUpgradeRate)
                .sends.empty());
    }
    return lost;
}

TEST(BoardFaults, LossIsReproducibleForASeed) {
    constexpr unsigned kFrames = 400;
    const auto a = lossPattern(0.5, 7, kFrames);
    EXPECT_EQ(a, lossPattern(0.5, 7, kFrames));
    EXPECT_NE(a, lossPattern(0.5, 8, kFrames));
    const auto lost = std::count(a.begin(), a.end(), true);
    EXPECT_GT(lost, 120);  // about half, for a fixed seed
    EXPECT_LT(lost, 280);
    const auto none = lossPattern(0.0, 7, kFrames);
    EXPECT_EQ(std::count(none.begin(), none.end(), true), 0);
    const auto all = lossPattern(1.0, 7, kFrames);
    EXPECT_EQ(std::count(all.begin(), all.end(), true), kFrames);
}

}  // namespace
