// The one record maker: what the engine knows of a board (the step that failed, the sum the
// board answered with) goes into the record the same way for the command line and the
// windows, and a wrong sum is recorded as the board's answer it was.
#include <gtest/gtest.h>

#include <numeric>
#include <optional>

#include "engine_fixture.h"
#include "upgrade/board_record.h"

namespace tarvik::testing {
namespace {

// The sum a good board reports: every block data byte, 0xFF fill included.
uint32_t GoodSum(const Bytes& image) {
    const uint32_t sum = std::accumulate(image.begin(), image.end(), 0u);
    return sum + 0xFFu * (128 - image.size() % 128);
}

class RecordMakerTest : public EngineTest {
protected:
    void Deliver(const std::vector<Bytes>& replies) {
        for (const Bytes& reply : replies) {
            driver.Reply(reply);
            driver.Advance(Ms{0});
        }
    }
};

TEST_F(RecordMakerTest, EachEndIsRecordedWithTheEnginesStepAndTheBoardsSum) {
    const Bytes image = MakeImage(300);
    const uint32_t good = GoodSum(image);
    const Bytes r25 = BoardReply(25), r26 = BoardReply(26), r28 = BoardReply(28);
    const std::string stall = "no further reply for 5.0 s after frame 0x1d";
    const struct {
        const char* name;
        std::vector<Bytes> replies;
        const char* result;
        std::string shown;
        std::string detail;
        std::string step;
        std::optional<uint32_t> boardSum;
        std::string message;
    } cases[] = {
        {"success", {r25, r26, AckReply(1), AckReply(2), r28, SumReply(good), BoardReply(30)},
         kRecordOk, kSucceeded, "", "", good, kSucceeded},
        // The board's answer ended it, however long the tool waited for another.
        {"wrong sum", {r25, r26, AckReply(1), AckReply(2), r28, SumReply(good + 1)},
         kRecordFailed, kFailed, stall, "checksum", good + 1,
         kFailed + "  " + SumsDifferText(good + 1, good)},
        // A zero the board reports is a sum too.
        {"wrong sum of zero", {r25, r26, AckReply(1), AckReply(2), r28, SumReply(0)},
         kRecordFailed, kFailed, "", "checksum", 0u, kFailed + "  " + SumsDifferText(0, good)},
        {"acknowledgement out of order", {r25, r26, AckReply(5)}, kRecordFailed, kFailed, stall,
         "block", std::nullopt, kFailed + "  " + stall},
        {"stopped mid-transfer", {r25, r26, AckReply(1)}, kRecordInterrupted, kStopped, "", "",
         std::nullopt, kStopped},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StartWith(image);
        Deliver(c.replies);
        const RecordedImage described = DescribeImage("fw.bin", engine.Image());
        TakenBoard taken;
        taken.port = "COM3";
        taken.board = 4;
        taken.result = c.result;
        taken.shown = c.shown;
        taken.detail = c.detail;
        const BoardRecord record = MakeBoardRecord(taken, engine, described);
        EXPECT_EQ(record.result, c.result);
        EXPECT_EQ(record.step, c.step);
        EXPECT_EQ(record.boardSum, c.boardSum);
        EXPECT_EQ(record.imageSum, good);
        EXPECT_EQ(record.message, c.message);
        EXPECT_EQ(record.port, "COM3");
        EXPECT_EQ(record.board, 4u);
        engine.OnStop();
    }
}

// The sum of one upgrade is no answer to the next.
TEST_F(RecordMakerTest, BoardSumIsForgottenAtTheNextStart) {
    const Bytes image = MakeImage(300);
    StartWith(image);
    Deliver({BoardReply(25), BoardReply(26), AckReply(1), AckReply(2), BoardReply(28),
             SumReply(7)});
    ASSERT_EQ(engine.BoardSum(), 7u);
    engine.OnStop();
    StartWith(image);
    EXPECT_EQ(engine.BoardSum(), std::nullopt);
    Deliver({BoardReply(25), BoardReply(26), AckReply(1)});
    EXPECT_EQ(engine.BoardSum(), std::nullopt);
}

}  // namespace
}  // namespace tarvik::testing
