// Every frame kind against every way its reply can go wrong on the line, each with the
// outcome the protocol promises, and one rule over all of them: the tool reports success
// only when the board holds exactly the image.
//
// The board is tarvik-sim, unpaced; its faults hit one chosen reply (K@N: the N-th frame of
// step K the board understood, resends included). The image has 8 blocks: data blocks 0..6
// (step 27) and the final block 7 (step 28); "27@2" is the reply to data block 1.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "hardening_support.h"
#include "upgrade/frames.h"
#include "upgrade/texts.h"

namespace tarvik::hardening {
namespace {

constexpr uint32_t kImageLength = 1000;  // 8 blocks, the last one part image, part fill
// A row settles once its upgrade has ended, or has sat without a timer for this long: longer
// than the longest resend period, so a stall that a timer would end is not taken as final.
constexpr Ms kQuiet{2500};
constexpr Ms kResend{1000};
constexpr Ms kBeginTransferResend{2000};
// Timers never fire early; a trace time stamp is taken a moment after the write it records,
// and the timer is armed after that stamp.
constexpr Ms kClockSlack{5};

enum class Expect {
    Success,      // "升级成功", the board holds the image
    FailsNaming,  // "升级失败(0x..)" naming the unanswered frame, Start enabled
    Unconfirmed,  // the finish command's answer never counts: no success, nothing resent
    Stalled,      // "升级失败", Start stays disabled, no timer
    Refused,      // "升级失败" and the message "fsfds"
};

struct Row {
    const char* name;
    std::vector<std::string> faults;  // tarvik-sim options
    Expect expect;
    uint8_t step = 0;                   // the frame whose reply is hit
    uint16_t block = 0;                 // its block number, for a data frame
    int sends = 0;                      // times that frame goes out, when the row fixes it
    bool failureShownOnTheWay = false;  // "升级失败" before the success
};

// Names the row in test listings and failure messages.
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

Row Success(const char* name, std::vector<std::string> faults, uint8_t step, int sends = 0,
            uint16_t block = 0) {
    return Row{name, std::move(faults), Expect::Success, step, block, sends};
}
Row Fails(const char* name, std::vector<std::string> faults, uint8_t step, uint16_t block = 0) {
    // Sent by the transfer, then at each of three resend ticks, and once more at the fourth,
    // which also declares the failure.
    return Row{name, std::move(faults), Expect::FailsNaming, step, block, 5};
}
Row Unconfirmed(const char* name, std::vector<std::string> faults) {
    return Row{name, std::move(faults), Expect::Unconfirmed, kStepFinish, 0, 1};
}

// clang-format off
const std::vector<Row> kRows = {
    // Enter-upgrade: the search sends it again and again (scan at 115200 once per pass, then
    // every 90 ms), so no number of lost replies ends the upgrade.
    Success("enter_lost_1", {"--drop", "25@1"}, kStepEnterUpgrade),
    Success("enter_lost_2", {"--drop", "25@1x2"}, kStepEnterUpgrade),
    Success("enter_lost_3", {"--drop", "25@1x3"}, kStepEnterUpgrade),
    Success("enter_lost_4", {"--drop", "25@1x4"}, kStepEnterUpgrade),
    Success("enter_corrupted", {"--corrupt", "25@1"}, kStepEnterUpgrade),
    // The second copy arrives while the tool waits its 100 ms; the begin-transfer command
    // purges it.
    Success("enter_duplicated", {"--dup", "25@1"}, kStepEnterUpgrade),
    // The scan's first step (1 s) is answered at once; the late answer finds the upgrade
    // over, or restarts a transfer that then completes.
    Success("enter_late", {"--delay", "25@1:1500"}, kStepEnterUpgrade),
    Success("enter_garbage_first", {"--garbage", "25@1"}, kStepEnterUpgrade),
    Success("enter_two_in_one_burst", {"--burst", "25@1"}, kStepEnterUpgrade),

    // Begin-transfer: resent every 2 s.
    Success("begin_lost_1", {"--drop", "26@1"}, kStepBeginTransfer, 2),
    Success("begin_lost_2", {"--drop", "26@1x2"}, kStepBeginTransfer, 3),
    Success("begin_lost_3", {"--drop", "26@1x3"}, kStepBeginTransfer, 4),
    Fails("begin_lost_4", {"--drop", "26@1x4"}, kStepBeginTransfer),
    Success("begin_corrupted", {"--corrupt", "26@1"}, kStepBeginTransfer, 2),
    // A second 26 restarts the transfer at block 0. The copy comes 300 ms later, while the
    // answer to block 0 is held back until 600 ms, so that nothing else is on the line when
    // it lands: block 0 goes out again and the transfer completes; the held-back answer then
    // finds the upgrade over. (With the copy right behind, it can meet a later reply in one
    // read, or an acknowledgement of the first run after the restart: see block_duplicated.)
    Row{"begin_duplicated", {"--dup", "26@1:300", "--delay", "27@1:600"}, Expect::Success,
        kStepBeginTransfer, 0, 1},
    // 1.5 s is within the 2 s period: accepted, nothing resent.
    Success("begin_late", {"--delay", "26@1:1500"}, kStepBeginTransfer, 1),
    Success("begin_garbage_first", {"--garbage", "26@1"}, kStepBeginTransfer, 2),
    Success("begin_two_in_one_burst", {"--burst", "26@1"}, kStepBeginTransfer, 2),

    // A data block: resent every second.
    Success("block_lost_1", {"--drop", "27@2"}, kStepDataBlock, 2, 1),
    Success("block_lost_2", {"--drop", "27@2x2"}, kStepDataBlock, 3, 1),
    Success("block_lost_3", {"--drop", "27@2x3"}, kStepDataBlock, 4, 1),
    Fails("block_lost_4", {"--drop", "27@2x4"}, kStepDataBlock, 1),
    Success("block_corrupted", {"--corrupt", "27@2"}, kStepDataBlock, 2, 1),
    // The copy comes 300 ms later, while the answer to the next block is held back until
    // 600 ms: it no longer matches the block counter ("升级失败"), and the next
    // acknowledgement, which matches, carries the transfer on.
    Row{"block_duplicated", {"--dup", "27@2:300", "--delay", "27@3:600"}, Expect::Success,
        kStepDataBlock, 1, 1, true},
    // Resent after 1 s and answered at once; the late answer comes after the upgrade ended.
    Success("block_late", {"--delay", "27@2:1500"}, kStepDataBlock, 2, 1),
    // The same, with the answer to the next block held back until 1.8 s, so that the late
    // answer lands mid-transfer: "升级失败" shown, then the next acknowledgement goes on.
    Row{"block_late_lands_mid_transfer", {"--delay", "27@2:1500", "--delay", "27@4:800"},
        Expect::Success, kStepDataBlock, 1, 2, true},
    Success("block_garbage_first", {"--garbage", "27@2"}, kStepDataBlock, 2, 1),
    Success("block_two_in_one_burst", {"--burst", "27@2"}, kStepDataBlock, 2, 1),

    // The final block.
    Success("final_lost_1", {"--drop", "28@1"}, kStepFinalBlock, 2, 7),
    Success("final_lost_2", {"--drop", "28@1x2"}, kStepFinalBlock, 3, 7),
    Success("final_lost_3", {"--drop", "28@1x3"}, kStepFinalBlock, 4, 7),
    Fails("final_lost_4", {"--drop", "28@1x4"}, kStepFinalBlock, 7),
    Success("final_corrupted", {"--corrupt", "28@1"}, kStepFinalBlock, 2, 7),
    // The copy comes while the board's sum is held back: the checksum request goes out again,
    // is answered at once, and the held-back sum finds the upgrade over.
    Success("final_duplicated", {"--dup", "28@1:300", "--delay", "29@1:600"}, kStepFinalBlock,
            1, 7),
    Success("final_late", {"--delay", "28@1:1500"}, kStepFinalBlock, 2, 7),
    Success("final_garbage_first", {"--garbage", "28@1"}, kStepFinalBlock, 2, 7),
    Success("final_two_in_one_burst", {"--burst", "28@1"}, kStepFinalBlock, 2, 7),

    // The checksum request.
    Success("checksum_lost_1", {"--drop", "29@1"}, kStepChecksum, 2),
    Success("checksum_lost_2", {"--drop", "29@1x2"}, kStepChecksum, 3),
    Success("checksum_lost_3", {"--drop", "29@1x3"}, kStepChecksum, 4),
    Fails("checksum_lost_4", {"--drop", "29@1x4"}, kStepChecksum),
    Success("checksum_corrupted", {"--corrupt", "29@1"}, kStepChecksum, 2),
    // The copy comes while the finish answer is held back: the sums still match, the finish
    // command goes out again and is answered at once.
    Success("checksum_duplicated", {"--dup", "29@1:300", "--delay", "30@1:600"}, kStepChecksum,
            1),
    Success("checksum_late", {"--delay", "29@1:1500"}, kStepChecksum, 2),
    Success("checksum_garbage_first", {"--garbage", "29@1"}, kStepChecksum, 2),
    Success("checksum_two_in_one_burst", {"--burst", "29@1"}, kStepChecksum, 2),
    Row{"checksum_wrong_sum", {"--wrong-sum"}, Expect::Stalled, kStepChecksum, 0, 1},

    // The finish command: no timer follows it, so an answer that does not count leaves the
    // upgrade unconfirmed (the command line ends it by its stall time-out).
    Unconfirmed("finish_lost_1", {"--drop", "30@1"}),
    Unconfirmed("finish_lost_2", {"--drop", "30@1x2"}),
    Unconfirmed("finish_lost_3", {"--drop", "30@1x3"}),
    Unconfirmed("finish_lost_4", {"--drop", "30@1x4"}),
    Unconfirmed("finish_corrupted", {"--corrupt", "30@1"}),
    Success("finish_duplicated", {"--dup", "30@1"}, kStepFinish, 1),
    Success("finish_late", {"--delay", "30@1:1500"}, kStepFinish, 1),
    Unconfirmed("finish_garbage_first", {"--garbage", "30@1"}),
    // Nothing resends the finish command: a burst of whole, sound frames is looked through
    // for its answer (a late duplicate of the sum answer can meet it there).
    Success("finish_two_in_one_burst", {"--burst", "30@1"}, kStepFinish, 1),

    // The board refuses a block: the failure reply.
    Row{"block_refused", {"--fail", "27@2"}, Expect::Refused, kStepDataBlock, 1, 1},
};
// clang-format on

std::string FailedNaming(uint8_t step) {
    char text[16];
    std::snprintf(text, sizeof text, "(0x%02x)", step);
    return std::string(text::kUpgradeFailed) + text;
}

class FaultMatrix : public ::testing::TestWithParam<Row> {};

TEST_P(FaultMatrix, OutcomeAsPromised) {
    const Row& row = GetParam();
    TempFolder folder;
    const Bytes image = MakeImage(kImageLength);
    const std::string imagePath = folder.file("image.bin");
    WriteFile(imagePath, image);

    Board board(folder, row.faults);
    Tool tool;
    ASSERT_EQ(tool.Open(board.path()), kErrSuccess);
    ASSERT_EQ(tool.Start(imagePath), StartResult::Started);
    ASSERT_TRUE(tool.RunUntilSettled(kQuiet, kUpgradeBound)) << "the upgrade never settled";
    const UpgradePhase phase = tool.Engine().Phase();
    const UpgradeOutcome outcome = tool.Engine().Outcome();
    const std::string status = tool.Driver().Status();
    const std::vector<std::string> messages = tool.Driver().Messages();
    tool.Close();
    const nlohmann::json summary = board.Stop();
    const std::optional<Bytes> received = board.Received();

    // The rule over every row: success only for the exact image.
    if (tool.EverShown(text::kUpgradeSucceeded)) {
        ASSERT_TRUE(received.has_value()) << "success reported, the board wrote nothing";
        EXPECT_EQ(*received, ReceivedForm(image)) << "success reported for a different image";
    }

    std::vector<Tool::Sent> faulted;
    for (const Tool::Sent& sent : tool.SentFrames()) {
        if (sent.step == row.step && sent.block == row.block) {
            faulted.push_back(sent);
        }
    }
    if (row.sends > 0) {
        EXPECT_EQ(static_cast<int>(faulted.size()), row.sends)
            << "times the faulted frame (step " << int(row.step) << ") went out";
    }

    switch (row.expect) {
        case Expect::Success:
            EXPECT_EQ(outcome, UpgradeOutcome::Succeeded);
            EXPECT_EQ(tool.Driver().Info(), text::kUpgradeSucceeded);
            EXPECT_TRUE(summary.value("finished", false));
            break;
        case Expect::FailsNaming: {
            EXPECT_EQ(outcome, UpgradeOutcome::Failed);
            EXPECT_EQ(phase, UpgradePhase::Idle);
            EXPECT_EQ(status, FailedNaming(row.step));
            EXPECT_TRUE(tool.Driver().IsStartEnabled());
            const Ms period = row.step == kStepBeginTransfer ? kBeginTransferResend : kResend;
            // The resend timer keeps its rhythm from the first send (a late tick does not
            // push the next one back), so each resend is due a whole number of periods after
            // the first send, never earlier.
            for (size_t i = 1; i < faulted.size(); ++i) {
                EXPECT_GE(faulted[i].at - faulted.front().at,
                          period * static_cast<int>(i) - kClockSlack)
                    << "resend " << i << " came before its time";
            }
            break;
        }
        case Expect::Unconfirmed:
            EXPECT_EQ(outcome, UpgradeOutcome::None);
            EXPECT_EQ(phase, UpgradePhase::Finishing);
            EXPECT_FALSE(tool.Driver().IsStartEnabled());
            ASSERT_FALSE(tool.SentFrames().empty());
            EXPECT_EQ(tool.SentFrames().back().step, kStepFinish) << "something sent after finish";
            // The board did take the whole image; the tool just cannot know it.
            EXPECT_TRUE(summary.value("finished", false));
            break;
        case Expect::Stalled:
            EXPECT_EQ(outcome, UpgradeOutcome::None);
            EXPECT_EQ(phase, UpgradePhase::Stalled);
            EXPECT_EQ(status, text::kUpgradeFailed);
            EXPECT_FALSE(tool.Driver().IsStartEnabled());
            EXPECT_EQ(tool.SentFrames().back().step, kStepChecksum) << "finish sent on a bad sum";
            break;
        case Expect::Refused:
            EXPECT_EQ(outcome, UpgradeOutcome::Failed);
            EXPECT_EQ(status, text::kUpgradeFailed);
            EXPECT_EQ(messages, std::vector<std::string>{text::kFailureReply});
            EXPECT_TRUE(tool.Driver().IsStartEnabled());
            break;
    }
    if (row.expect != Expect::Success) {
        EXPECT_FALSE(tool.EverShown(text::kUpgradeSucceeded));
    }

    // The failure text on the way to a success: only where the row makes a stale or repeated
    // acknowledgement meet a transfer still running.
    if (row.failureShownOnTheWay) {
        EXPECT_TRUE(tool.EverShown(text::kUpgradeFailed));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFrameKind, FaultMatrix, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tarvik::hardening

namespace tarvik::hardening {
namespace {

// The finish command's answer comes so late that the operator has given up on it and started
// again; it arrives while the next upgrade still searches for the board. Nothing of the new
// image has gone out, so it must not count as that upgrade's success.
TEST(LateFinishAnswer, DoesNotCountForTheNextUpgrade) {
    constexpr Ms kOperatorPatience{500};
    TempFolder folder;
    const Bytes first = MakeImage(kImageLength, 1);
    const Bytes second = MakeImage(kImageLength, 2);
    const std::string firstPath = folder.file("first.bin");
    const std::string secondPath = folder.file("second.bin");
    WriteFile(firstPath, first);
    WriteFile(secondPath, second);
    // The first finish is answered 3 s late; the next upgrade's search goes unanswered at
    // 115200 three times (its Start and the first two passes), so the late answer meets the
    // search, and the fourth try finds the board.
    Board board(folder, {"--delay", "30@1:3000", "--drop", "25@2x3"});
    Tool tool;
    ASSERT_EQ(tool.Open(board.path()), kErrSuccess);
    ASSERT_EQ(tool.Start(firstPath), StartResult::Started);
    ASSERT_TRUE(tool.RunUntil([&] { return tool.Engine().Phase() == UpgradePhase::Finishing; },
                              kUpgradeBound));
    // The operator waits a moment before giving up: a Start at once would purge the finish
    // command before the board has read it.
    tool.RunFor(kOperatorPatience);
    tool.Engine().OnStop();
    ASSERT_EQ(tool.Start(secondPath), StartResult::Started);

    ASSERT_TRUE(tool.RunUntilSettled(kQuiet, kUpgradeBound));
    tool.Close();
    board.Stop();
    EXPECT_EQ(tool.Engine().Outcome(), UpgradeOutcome::Succeeded);
    const std::optional<Bytes> received = board.Received();
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(*received, ReceivedForm(second)) << "success reported before the image went out";
    // The second upgrade went through its transfer before it said so.
    EXPECT_EQ(tool.SentFrames().back().step, kStepFinish);
}

}  // namespace
}  // namespace tarvik::hardening
