// The block transfer: replies and what each leads to, resends, images of every shape.
#include <gtest/gtest.h>

#include <fstream>
#include <numeric>
#include <optional>

#include "engine_fixture.h"

namespace tarvik::testing {
namespace {

// The sum a good board reports: every block data byte, 0xFF fill included.
uint32_t BoardSum(const Bytes& image) {
    uint32_t sum = std::accumulate(image.begin(), image.end(), 0u);
    return sum + 0xFFu * (128 - image.size() % 128);
}

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

uint32_t BlockNumber(const SentFrame& frame) {
    return frame.bytes[4] | (frame.bytes[5] << 8);
}

using TransferTest = EngineTest;
using Phase = UpgradePhase;
using Outcome = UpgradeOutcome;

// What one reply leads to, from a given point of a 300-byte upgrade (three blocks).
TEST_F(TransferTest, EachReplyStepHasItsAction) {
    const Bytes image = MakeImage(300);
    const uint32_t goodSum = BoardSum(image);
    const Bytes r25 = BoardReply(25), r26 = BoardReply(26), r28 = BoardReply(28);
    struct Sent {
        uint8_t step;
        size_t length;
        std::optional<uint32_t> block;
    };
    const struct {
        const char* name;
        std::vector<Bytes> before;  // replies that bring the upgrade to the point
        Bytes reply;
        std::optional<Sent> sent;     // the frame it sends, if any
        std::optional<int> resendMs;  // the resend timer's period, if armed
        std::string status;
        std::string info;
        bool startEnabled;
        UpgradePhase phase;
        UpgradeOutcome outcome;
        uint32_t position;
        std::vector<std::string> messages;
    } cases[] = {
        // clang-format off
        // name, replies before, the reply,
        //   frame sent, resend period, status, info, Start, phase, outcome, position, boxes
        {"0: the board gives up", {r25, r26}, BoardReply(0),
            {}, {}, kFailed, kFound, true, Phase::Idle, Outcome::Failed, 1, {"fsfds"}},
        {"25: found", {}, r25,
            Sent{26, 23, {}}, 2000, " ", kFound, false, Phase::Handshake, Outcome::None, 0, {}},
        {"25 again mid-transfer: back to the begin command", {r25, r26, AckReply(1)}, r25,
            Sent{26, 23, {}}, 2000, "0/3", kFound, false, Phase::Handshake, Outcome::None, 0, {}},
        {"26: block 0", {r25}, r26,
            Sent{27, 137, 0}, 1000, "1/3", kFound, false, Phase::Sending, Outcome::None, 1, {}},
        {"26 again: block 0 again", {r25, r26, AckReply(1)}, r26,
            Sent{27, 137, 0}, 1000, "1/3", kFound, false, Phase::Sending, Outcome::None, 1, {}},
        {"27 good: next data block", {r25, r26}, AckReply(1),
            Sent{27, 137, 1}, 1000, "2/3", kFound, false, Phase::Sending, Outcome::None, 2, {}},
        {"27 good: the final block", {r25, r26, AckReply(1)}, AckReply(2),
            Sent{28, 137, 2}, 1000, "2/3", kFound, false, Phase::Sending, Outcome::None, 3, {}},
        {"27 good after the final block: timer only", {r25, r26, AckReply(1), AckReply(2)},
            AckReply(3),
            {}, 1000, "2/3", kFound, false, Phase::Sending, Outcome::None, 3, {}},
        {"27 bad: stalls", {r25, r26}, AckReply(5),
            {}, {}, kFailed, kFound, false, Phase::Stalled, Outcome::None, 1, {}},
        {"28: checksum request", {r25, r26, AckReply(1), AckReply(2)}, r28,
            Sent{29, 23, {}}, 1000, "2/3", kFound, false, Phase::Verifying, Outcome::None, 3, {}},
        {"29 equal: finish command", {r25, r26, AckReply(1), AckReply(2), r28},
            SumReply(goodSum),
            Sent{30, 23, {}}, {}, "2/3", kFound, false, Phase::Finishing, Outcome::None, 3, {}},
        {"29 different: stalls", {r25, r26, AckReply(1), AckReply(2), r28},
            SumReply(goodSum + 1),
            {}, {}, kFailed, kFound, false, Phase::Stalled, Outcome::None, 3, {}},
        {"30: success", {r25, r26, AckReply(1), AckReply(2), r28, SumReply(goodSum)},
            BoardReply(30),
            {}, {}, kSucceeded, kSucceeded, true, Phase::Idle, Outcome::Succeeded, 3, {}},
        {"an unknown step: stalls", {r25, r26}, BoardReply(99),
            {}, {}, "1/3", kFound, false, Phase::Stalled, Outcome::None, 1, {}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDriver d;
        std::vector<uint8_t> buffer(4096);
        CUpgradeEngine e(d, buffer.data(), 4096);
        d.Attach(e);
        TempImage file(image);
        ASSERT_EQ(e.Start(file.path(), file.name()), StartResult::Started);
        for (const Bytes& r : c.before) {
            d.Reply(r);
        }
        d.Advance(Ms{0});
        const size_t writes = d.port.sent.size();
        d.calls.clear();

        d.Reply(c.reply);
        d.Advance(Ms{0});

        ASSERT_EQ(d.port.sent.size(), writes + (c.sent ? 1 : 0));
        if (c.sent) {
            const SentFrame& f = d.port.sent.back();
            EXPECT_EQ(f.step(), c.sent->step);
            EXPECT_EQ(f.bytes.size(), c.sent->length);
            if (c.sent->block) {
                EXPECT_EQ(BlockNumber(f), *c.sent->block);
            }
            EXPECT_EQ(e.State().rememberedLength, c.sent->length);
            EXPECT_EQ(Bytes(e.State().rememberedFrame, e.State().rememberedFrame + f.bytes.size()),
                      f.bytes);
            EXPECT_EQ(e.State().resendCount, 0);
        }
        EXPECT_EQ(d.TimerArmed(kResendTimer), c.resendMs.has_value());
        if (c.resendMs) {
            EXPECT_EQ(d.TimerPeriod(kResendTimer), Ms{*c.resendMs});
        }
        EXPECT_FALSE(d.TimerArmed(kScanTimer));
        EXPECT_FALSE(d.TimerArmed(kFastResendTimer));
        // Every accepted reply stops all three timers before it is acted on.
        ASSERT_GE(d.calls.size(), 4u);
        EXPECT_EQ(std::vector<std::string>(d.calls.begin(), d.calls.begin() + 4),
                  (std::vector<std::string>{"stop 1", "stop 2", "stop 3", "info " + kFound}));
        EXPECT_EQ(d.status, c.status);
        EXPECT_EQ(d.info, c.info);
        EXPECT_EQ(d.startEnabled, c.startEnabled);
        EXPECT_EQ(e.Phase(), c.phase);
        EXPECT_EQ(e.Outcome(), c.outcome);
        EXPECT_EQ(d.position, c.position);
        EXPECT_EQ(d.messages, c.messages);
        EXPECT_TRUE(e.DeviceFound());
    }
}

TEST_F(TransferTest, FoundBoardGetsTheTransferLineSettingsBeforeTheBeginCommand) {
    driver.selections = {0, 2, 2};  // the lists say 7 data bits, even, 2 stop bits
    StartWith(MakeImage(300));
    driver.Advance(Ms{1000});
    driver.calls.clear();
    Deliver(BoardReply(25));
    const std::vector<std::string> expected = {
        "stop 1",   "stop 2",      "stop 3",     "info " + kFound, "setup 115200 8 0 0",
        "wait 100", "write 26 23", "arm 1 2000", "pos 0"};
    EXPECT_EQ(driver.calls, expected) << "the first upgrade has no earlier block count to show";
    EXPECT_EQ(driver.port.sent.back().line, (LineSetting{115200, 8, 0, 0}));
}

TEST_F(TransferTest, IgnoredRepliesChangeNothing) {
    const Bytes good = AckReply(1);
    Bytes wrongSum = good;
    ++wrongSum[20];
    Bytes twoInOne = good;
    twoInOne.insert(twoInOne.end(), good.begin(), good.end());
    const struct {
        const char* name;
        Bytes reply;
    } cases[] = {
        {"22 bytes", Bytes(good.begin(), good.end() - 1)},
        {"24 bytes",
         [&] {
             Bytes b = good;
             b.push_back('D');
             return b;
         }()},
        {"two replies run together", twoInOne},
        {"wrong sum", wrongSum},
        {"one byte", Bytes{0x44}},
        // Success is only the answer to the finish command, sent once the sums matched.
        {"the finish step before the finish command", BoardReply(30)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDriver d;
        std::vector<uint8_t> buffer(4096);
        CUpgradeEngine e(d, buffer.data(), 4096);
        d.Attach(e);
        TempImage file(MakeImage(300));
        ASSERT_EQ(e.Start(file.path(), file.name()), StartResult::Started);
        d.Reply(BoardReply(25));
        d.Reply(BoardReply(26));
        d.Advance(Ms{300});
        const size_t writes = d.port.sent.size();
        const std::string status = d.status;
        d.calls.clear();
        d.Reply(c.reply);
        d.Advance(Ms{0});
        EXPECT_TRUE(d.calls.empty());
        EXPECT_EQ(d.port.sent.size(), writes);
        EXPECT_EQ(d.status, status);
        EXPECT_EQ(e.State().blockCounter, 1u);
        EXPECT_EQ(e.Phase(), UpgradePhase::Sending);
        // The running timer goes on as if the reply had been lost.
        d.Advance(Ms{800});  // block 0 went out at 100 ms, after the settling wait
        ASSERT_EQ(d.port.sent.size(), writes + 1);
        EXPECT_EQ(d.port.sent.back().step(), 27);
        EXPECT_EQ(BlockNumber(d.port.sent.back()), 0u);
    }
}

TEST_F(TransferTest, RepliesWhileStartIsEnabledAreIgnored) {
    // Before any Start, after Stop, after success and after failure.
    Deliver(BoardReply(25));
    EXPECT_TRUE(driver.calls.empty());
    EXPECT_FALSE(engine.DeviceFound());

    StartWith(MakeImage(300));
    engine.OnStop();
    driver.calls.clear();
    Deliver(BoardReply(25));
    EXPECT_TRUE(driver.calls.empty());
    EXPECT_EQ(driver.info, kStopped);

    FakeBoard board(driver);
    StartWith(MakeImage(300));
    ASSERT_TRUE(
        driver.AdvanceUntil([&] { return board.finished && driver.startEnabled; }, Ms{60000}));
    driver.calls.clear();
    for (const Bytes& r : {BoardReply(25), BoardReply(26), AckReply(3), BoardReply(0)}) {
        Deliver(r);
    }
    EXPECT_TRUE(driver.calls.empty());
    EXPECT_EQ(driver.status, kSucceeded);
}

TEST_F(TransferTest, ForeignFramingBytesDoNotMatterOnlyTheSum) {
    StartWith(MakeImage(300));
    Bytes reply = BoardReply(25);
    reply[0] = 'x';
    reply[1] = 'y';
    reply[2] = 0;
    reply[20] = 0;
    for (int i = 0; i < 20; ++i) {
        reply[20] = static_cast<uint8_t>(reply[20] + reply[i]);
    }
    reply[21] = 'E';
    reply[22] = '.';
    Deliver(reply);
    EXPECT_TRUE(engine.DeviceFound());
    EXPECT_EQ(driver.port.sent.back().step(), 26);
}

// A frame nobody answers is sent five times, then the upgrade fails naming its step.
TEST_F(TransferTest, UnansweredFrameFailsAfterFourResends) {
    const Bytes image = MakeImage(300);
    const Bytes r25 = BoardReply(25), r26 = BoardReply(26), r28 = BoardReply(28);
    const struct {
        const char* name;
        std::vector<Bytes> replies;
        int periodMs;
        std::string status;
        size_t length;
    } cases[] = {
        {"begin-transfer command", {r25}, 2000, "升级失败(0x1a)", 23},
        {"data block", {r25, r26}, 1000, "升级失败(0x1b)", 137},
        {"final block", {r25, r26, AckReply(1), AckReply(2)}, 1000, "升级失败(0x1c)", 137},
        {"checksum request", {r25, r26, AckReply(1), AckReply(2), r28}, 1000, "升级失败(0x1d)", 23},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDriver d;
        std::vector<uint8_t> buffer(4096);
        CUpgradeEngine e(d, buffer.data(), 4096);
        d.Attach(e);
        TempImage file(image);
        ASSERT_EQ(e.Start(file.path(), file.name()), StartResult::Started);
        for (const Bytes& r : c.replies) {
            d.Reply(r);
        }
        d.Advance(Ms{0});
        const size_t first = d.port.sent.size() - 1;
        const SentFrame frame = d.port.sent[first];
        ASSERT_EQ(frame.bytes.size(), c.length);

        d.Advance(Ms{c.periodMs * 4 - 1});
        EXPECT_EQ(d.port.sent.size(), first + 4);
        EXPECT_FALSE(d.startEnabled);
        EXPECT_NE(d.status.rfind(kFailed, 0), 0u) << "not failed yet: " << d.status;
        d.Advance(Ms{1});
        ASSERT_EQ(d.port.sent.size(), first + 5);
        for (size_t i = 1; i < 5; ++i) {
            EXPECT_EQ(d.port.sent[first + i].bytes, frame.bytes) << "resend " << i;
            EXPECT_EQ(d.port.sent[first + i].time, frame.time + Ms{c.periodMs} * i);
        }
        EXPECT_EQ(d.status, c.status);
        EXPECT_TRUE(d.startEnabled);
        EXPECT_FALSE(d.TimerArmed(kResendTimer));
        EXPECT_EQ(e.Outcome(), UpgradeOutcome::Failed);
        EXPECT_EQ(e.Phase(), UpgradePhase::Idle);
        d.Advance(Ms{20000});
        EXPECT_EQ(d.port.sent.size(), first + 5) << "nothing after the failure";
    }
}

TEST_F(TransferTest, UnansweredFinishCommandWaitsUntilStop) {
    const Bytes image = MakeImage(300);
    StartWith(image);
    for (const Bytes& r : {BoardReply(25), BoardReply(26), AckReply(1), AckReply(2), BoardReply(28),
                           SumReply(BoardSum(image))}) {
        Deliver(r);
    }
    ASSERT_EQ(driver.port.sent.back().step(), 30);
    const size_t writes = Writes();
    driver.Advance(Ms{600000});
    EXPECT_EQ(Writes(), writes);
    EXPECT_EQ(engine.Phase(), UpgradePhase::Finishing);
    EXPECT_FALSE(driver.startEnabled);
    engine.OnStop();
    EXPECT_TRUE(driver.startEnabled);
    EXPECT_EQ(engine.Outcome(), UpgradeOutcome::Stopped);
}

// The checksum request went unanswered for a second and was resent; the board answers both.
// The first answer brings the finish command; the duplicate and the finish answer then reach
// the reader together. Nothing resends the finish command, so a dropped burst would leave the
// upgrade in Finishing for good with the board done.
TEST_F(TransferTest, FinishAnswerRunTogetherWithALateDuplicateStillEndsTheUpgrade) {
    const Bytes image = MakeImage(300);
    const Bytes sum = SumReply(BoardSum(image));
    const Bytes finish = BoardReply(30);
    Bytes badFinish = finish;
    badFinish[5] ^= 0x01;  // its sum no longer matches
    const struct {
        const char* name;
        Bytes burst;
        bool succeeds;
    } cases[] = {
        {"duplicate, then the finish answer", Concat(sum, finish), true},
        {"the finish answer, then the duplicate", Concat(finish, sum), true},
        {"two duplicates", Concat(sum, sum), false},
        {"duplicate and a spoilt finish answer", Concat(sum, badFinish), false},
        {"duplicate and part of the finish answer",
         Concat(sum, Bytes(finish.begin(), finish.end() - 1)), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StartWith(image);
        for (const Bytes& r :
             {BoardReply(25), BoardReply(26), AckReply(1), AckReply(2), BoardReply(28)}) {
            Deliver(r);
        }
        ASSERT_EQ(driver.port.sent.back().step(), 29);
        driver.Advance(kResendPeriod);  // no answer yet: the checksum request goes again
        ASSERT_EQ(driver.port.sent.back().step(), 29);
        Deliver(sum);
        ASSERT_EQ(engine.Phase(), UpgradePhase::Finishing);
        const size_t writes = Writes();
        Deliver(c.burst);
        EXPECT_EQ(Writes(), writes) << "nothing more goes to the board";
        if (c.succeeds) {
            EXPECT_EQ(engine.Outcome(), UpgradeOutcome::Succeeded);
            EXPECT_EQ(driver.status, kSucceeded);
            EXPECT_TRUE(driver.startEnabled);
        } else {
            EXPECT_EQ(engine.Phase(), UpgradePhase::Finishing);
            EXPECT_FALSE(driver.startEnabled);
        }
        engine.OnStop();
    }
}

TEST_F(TransferTest, TwoRepliesRunTogetherBeforeTheFinishCommandAreStillDroppedAsOne) {
    const Bytes image = MakeImage(300);
    StartWith(image);
    for (const Bytes& r : {BoardReply(25), BoardReply(26), AckReply(1), AckReply(2)}) {
        Deliver(r);
    }
    const size_t writes = Writes();
    Deliver(Concat(BoardReply(28), SumReply(BoardSum(image))));
    EXPECT_EQ(Writes(), writes) << "the resend timer covers a burst dropped here";
    EXPECT_EQ(engine.Phase(), UpgradePhase::Sending);
    EXPECT_TRUE(driver.TimerArmed(kResendTimer));
}

TEST_F(TransferTest, FinishAnswerAfterAStallStillSucceeds) {
    const Bytes image = MakeImage(300);
    StartWith(image);
    for (const Bytes& r : {BoardReply(25), BoardReply(26), AckReply(1), AckReply(2), BoardReply(28),
                           SumReply(BoardSum(image)), BoardReply(99)}) {
        Deliver(r);
    }
    ASSERT_EQ(engine.Phase(), UpgradePhase::Stalled);
    Deliver(BoardReply(30));  // the finish command is still the frame in flight
    EXPECT_EQ(engine.Outcome(), UpgradeOutcome::Succeeded);
    EXPECT_EQ(driver.status, kSucceeded);
}

TEST_F(TransferTest, LateFinishAnswerDoesNotEndTheNextUpgrade) {
    const Bytes image = MakeImage(300);
    StartWith(image);
    for (const Bytes& r : {BoardReply(25), BoardReply(26), AckReply(1), AckReply(2), BoardReply(28),
                           SumReply(BoardSum(image))}) {
        Deliver(r);
    }
    engine.OnStop();  // given up on while the finish command waited
    StartWith(image);
    Deliver(BoardReply(30));
    EXPECT_EQ(engine.Phase(), UpgradePhase::Scanning);
    EXPECT_FALSE(driver.startEnabled);
    EXPECT_TRUE(driver.TimerArmed(kScanTimer));
}

TEST_F(TransferTest, DuplicatedAcknowledgementFailsThenTheNextOneGoesOn) {
    StartWith(MakeImage(1024));  // nine blocks
    for (const Bytes& r : {BoardReply(25), BoardReply(26), AckReply(1)}) {
        Deliver(r);
    }
    ASSERT_EQ(driver.status, "2/9");
    const size_t writes = Writes();
    Deliver(AckReply(1));  // the same acknowledgement again
    EXPECT_EQ(driver.status, kFailed);
    EXPECT_EQ(engine.Phase(), UpgradePhase::Stalled);
    EXPECT_EQ(Writes(), writes);
    driver.Advance(Ms{10000});
    EXPECT_EQ(Writes(), writes) << "a stalled transfer resends nothing";
    Deliver(AckReply(2));
    EXPECT_EQ(driver.status, "3/9");
    EXPECT_EQ(engine.Phase(), UpgradePhase::Sending);
    EXPECT_EQ(BlockNumber(driver.port.sent.back()), 2u);
}

TEST_F(TransferTest, AcknowledgementBeforeAnyTransferSendsNoBlock) {
    StartWith(MakeImage(300));
    Deliver(AckReply(0));  // total blocks is still 0: no transfer has begun in this program
    EXPECT_EQ(Writes(), 1u);
    ASSERT_TRUE(driver.TimerArmed(kResendTimer));
    driver.Advance(Ms{1000});
    ASSERT_EQ(Writes(), 2u);
    EXPECT_EQ(driver.port.sent.back().step(), 25) << "the last frame sent is what repeats";
}

TEST_F(TransferTest, ClosingThePortStallsTheTransfer) {
    StartWith(MakeImage(300));
    Deliver(BoardReply(25));
    Deliver(BoardReply(26));
    driver.port.open = false;
    engine.OnPortClosed();
    EXPECT_FALSE(driver.TimerArmed(kResendTimer));
    EXPECT_EQ(engine.Phase(), UpgradePhase::Stalled);
    const size_t writes = Writes();
    driver.Advance(Ms{10000});
    EXPECT_EQ(Writes(), writes);
    EXPECT_FALSE(driver.startEnabled);
}

// Whole upgrades against the board double, on the virtual clock.
TEST_F(TransferTest, WholeUpgradesDeliverTheImageByteForByte) {
    const struct {
        uint32_t length;
        uint32_t answerBaud;
        int awakeMs;  // a board powered up late is found by the fast resend
    } cases[] = {
        {4, 115200, 0},     {5, 115200, 0},      {127, 115200, 0},  {128, 115200, 0},
        {129, 9600, 0},     {256, 1200, 0},      {300, 115200, 0},  {1024, 1024000, 0},
        {65536, 115200, 0}, {300, 115200, 9000}, {300, 9600, 2000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + " bytes, board at " + std::to_string(c.answerBaud) +
                     ", awake from " + std::to_string(c.awakeMs));
        FakeDriver d;
        std::vector<uint8_t> buffer(1 << 17);
        CUpgradeEngine e(d, buffer.data(), 1 << 17);
        d.Attach(e);
        FakeBoard board(d);
        board.answerBaud = c.answerBaud;
        board.awakeFrom = Ms{c.awakeMs};
        const Bytes image = MakeImage(c.length, c.length);
        TempImage file(image);
        ASSERT_EQ(e.Start(file.path(), file.name()), StartResult::Started);
        ASSERT_TRUE(d.AdvanceUntil([&] { return d.startEnabled; }, Ms{3600000}));

        EXPECT_EQ(e.Outcome(), UpgradeOutcome::Succeeded);
        EXPECT_EQ(d.status, kSucceeded);
        EXPECT_EQ(d.info, kSucceeded);
        const uint32_t blocks = c.length / 128 + 1;
        EXPECT_EQ(d.rangeMax, blocks);
        EXPECT_EQ(d.position, blocks);
        EXPECT_EQ(board.blocksSeen, blocks);
        EXPECT_EQ(board.finalBlockNumber, blocks - 1);
        Bytes expected = image;
        expected.resize(blocks * 128, 0xFF);
        EXPECT_EQ(board.received, expected);
        if (c.awakeMs > 0) {
            // Woken after the scan (7.4 s), a board at 115200 is found by the fast resend;
            // one at 9600 woken during the first pass is found by the second.
            const bool fastResend = std::find(d.infoHistory.begin(), d.infoHistory.end(),
                                              kPowerUp + "0") != d.infoHistory.end();
            EXPECT_EQ(fastResend, c.answerBaud == 115200);
        }
        // Once a transfer starts, the status line counts blocks up to total - 1 of total.
        if (blocks > 1) {
            EXPECT_NE(std::find(d.statusHistory.begin(), d.statusHistory.end(),
                                std::to_string(blocks - 1) + "/" + std::to_string(blocks)),
                      d.statusHistory.end());
        }
    }
}

// Several boards of one run are upgraded from one image, loaded and checked once. A file
// rewritten between two engines' starts (a build still writing it) must not reach any board:
// each is told 升级成功 only holding exactly the bytes that were checked.
TEST(SharedImageTest, FileRewrittenBetweenStartsReachesNoBoard) {
    const Bytes checked = MakeImage(1000, 7);
    const Bytes rewritten = MakeImage(600, 99);
    TempImage file(checked);
    std::vector<uint8_t> runBuffer(1 << 12);
    FirmwareImage image;
    ASSERT_EQ(LoadCheckedImage(file.path(), runBuffer.data(), 1 << 12, image), ImageCheck::Ok);

    static constexpr uint8_t kUntouched = 0xA5;
    struct Board {
        FakeDriver driver;
        std::vector<uint8_t> ownBuffer = std::vector<uint8_t>(1 << 12, kUntouched);
        CUpgradeEngine engine{driver, ownBuffer.data(), 1 << 12};
        FakeBoard board{driver};
    };
    Board a, b;
    a.driver.Attach(a.engine);
    b.driver.Attach(b.engine);
    ASSERT_EQ(a.engine.Start(image), StartResult::Started);
    {
        std::ofstream out(file.path(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(rewritten.data()),
                  static_cast<std::streamsize>(rewritten.size()));
    }
    ASSERT_EQ(b.engine.Start(image), StartResult::Started);

    Bytes expected = checked;
    expected.resize((checked.size() / 128 + 1) * 128, 0xFF);
    for (Board* board : {&a, &b}) {
        ASSERT_TRUE(
            board->driver.AdvanceUntil([&] { return board->driver.startEnabled; }, Ms{600000}));
        EXPECT_EQ(board->engine.Outcome(), UpgradeOutcome::Succeeded);
        EXPECT_EQ(board->board.received, expected);
        // The engine read neither the file nor into its own buffer.
        EXPECT_EQ(board->ownBuffer, std::vector<uint8_t>(1 << 12, kUntouched));
    }
}

// An image handed over must have passed the marker test: one that has not starts nothing.
TEST(SharedImageTest, UncheckedImageStartsNothing) {
    const Bytes noMarker(300, 0x11);
    FakeDriver d;
    CUpgradeEngine e(d, nullptr, 0);
    d.Attach(e);
    for (const FirmwareImage& image :
         {FirmwareImage{noMarker.data(), 300, 0}, FirmwareImage{nullptr, 0, 0}}) {
        EXPECT_EQ(e.Start(image), StartResult::BadImage);
        EXPECT_EQ(d.status, "bin file is bad!!!");
        EXPECT_EQ(d.port.writeCount, 0u);
        EXPECT_TRUE(d.startEnabled);
    }
}

// Above 65,536 blocks the acknowledgement's 16-bit number wraps; the transfer goes on.
class LargeImageTest : public EngineTest {
protected:
    static constexpr uint32_t kLength = 9 * 1024 * 1024;
    LargeImageTest() : EngineTest(kLength) {}
};

TEST_F(LargeImageTest, ImageAboveSixtyFiveThousandBlocksIsAcknowledgedPastBlock65535) {
    driver.recordCalls = false;
    driver.port.keepBytes = false;
    FakeBoard board(driver);
    const Bytes image = MakeImage(kLength, 7);
    StartWith(image);
    const uint32_t blocks = kLength / 128 + 1;  // 73,729
    EXPECT_EQ(driver.rangeMax, blocks) << "the range is not cut to 16 bits";
    ASSERT_TRUE(driver.AdvanceUntil([&] { return driver.startEnabled; }, Ms{24 * 3600000}));
    EXPECT_EQ(engine.Outcome(), UpgradeOutcome::Succeeded);
    EXPECT_EQ(driver.status, kSucceeded);
    EXPECT_EQ(board.blocksSeen, blocks);
    EXPECT_EQ(board.finalBlockNumber, (blocks - 1) % 65536);
    EXPECT_EQ(driver.position, blocks);
    ASSERT_EQ(board.received.size(), size_t{blocks} * 128);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), board.received.begin()));
}

// Only a sum the board reports different from the image's is final for a watcher that ends a
// stalled upgrade; a stall that a later reply can still lift is not, and Start forgets it.
TEST_F(TransferTest, OnlyADifferentSumIsFinal) {
    const Bytes image = MakeImage(300);
    const uint32_t goodSum = BoardSum(image);
    const Bytes r25 = BoardReply(25), r26 = BoardReply(26), r28 = BoardReply(28);
    const struct {
        const char* name;
        std::vector<Bytes> replies;
        bool rejected;
    } cases[] = {
        {"a different sum", {r25, r26, AckReply(1), AckReply(2), r28, SumReply(goodSum + 1)}, true},
        {"a mismatched acknowledgement", {r25, r26, AckReply(5)}, false},
        {"a late acknowledgement while the sum is asked for",
         {r25, r26, AckReply(1), AckReply(2), r28, AckReply(1)},
         false},
        {"an unknown step", {r25, r26, BoardReply(99)}, false},
        {"the same sum", {r25, r26, AckReply(1), AckReply(2), r28, SumReply(goodSum)}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDriver d;
        std::vector<uint8_t> buffer(4096);
        CUpgradeEngine e(d, buffer.data(), 4096);
        d.Attach(e);
        TempImage file(image);
        ASSERT_EQ(e.Start(file.path(), file.name()), StartResult::Started);
        for (const Bytes& r : c.replies) {
            d.Reply(r);
        }
        d.Advance(Ms{0});
        EXPECT_EQ(e.SumRejected(), c.rejected);
        e.OnStop();
        ASSERT_EQ(e.Start(file.path(), file.name()), StartResult::Started);
        EXPECT_FALSE(e.SumRejected());
    }
}

}  // namespace
}  // namespace tarvik::testing
