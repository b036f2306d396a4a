// The real-time loop driver: timers by id, waking, sleeping, several ports on one loop, and
// the port's reader. Real time with generous bounds: only lower bounds and counts that a
// loaded machine can only make smaller are asserted.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <thread>

#include "e2e_support.h"
#include "fake_driver.h"
#include "pty_pair.h"
#include "upgrade/texts.h"

namespace tarvik::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(20);

Ms ThreadCpuTime() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return Ms{t.tv_sec * 1000 + t.tv_nsec / 1000000};
}

bool Never() {
    return false;
}

// Ticks of the fast-resend timer show on the info line; with no port open nothing is sent.
struct TickCounter {
    explicit TickCounter(CLoopDriver& driver) {
        driver.onChange = [this] { ++ticks; };
    }
    int ticks = 0;
};

TEST(EventLoop, TimerTicksUntilStoppedOrReArmed) {
    CEventLoop loop;
    CLoopDriver d(loop);
    TickCounter counter(d);
    const auto armed = Clock::now();
    d.ArmTimer(kFastResendTimer, Ms{20});
    ASSERT_TRUE(loop.RunUntil([&] { return counter.ticks >= 3; }, Clock::now() + kPatience));
    EXPECT_GE(Clock::now() - armed, Ms{60}) << "three ticks of 20 ms";
    EXPECT_EQ(d.Info(), std::string(text::kNotFoundPowerUp) + "2");

    d.ArmTimer(kFastResendTimer, std::chrono::hours{1});  // a re-arm replaces the period
    const int before = counter.ticks;
    EXPECT_FALSE(loop.RunUntil(Never, Clock::now() + Ms{300}));
    EXPECT_EQ(counter.ticks, before);

    d.ArmTimer(kFastResendTimer, Ms{10});
    d.StopTimer(kFastResendTimer);
    EXPECT_FALSE(d.AnyTimerArmed());
    EXPECT_FALSE(loop.RunUntil(Never, Clock::now() + Ms{200}));
    EXPECT_EQ(counter.ticks, before);
}

TEST(EventLoop, TicksMissedWhileBusyDoNotComeInABurst) {
    CEventLoop loop;
    CLoopDriver d(loop);
    TickCounter counter(d);
    d.ArmTimer(kFastResendTimer, Ms{20});
    std::this_thread::sleep_for(Ms{400});  // twenty ticks' worth while the loop does not run
    loop.RunUntil(Never, Clock::now() + Ms{100});
    // One late tick, then the rhythm: about six. A burst would add the twenty missed ones.
    EXPECT_LE(counter.ticks, 10);
    EXPECT_GE(counter.ticks, 1);
}

TEST(EventLoop, SleepsWhileNothingIsDue) {
    CEventLoop loop;
    CLoopDriver d(loop);
    d.ArmTimer(kFastResendTimer, std::chrono::hours{1});
    const Ms cpu = ThreadCpuTime();
    const auto start = Clock::now();
    EXPECT_FALSE(loop.RunUntil(Never, start + Ms{500}));
    EXPECT_GE(Clock::now() - start, Ms{500}) << "runs until the deadline";
    EXPECT_LT(ThreadCpuTime() - cpu, Ms{150}) << "a busy loop would use the whole 500 ms";
}

TEST(EventLoop, WakeFromAnotherThreadEndsTheSleep) {
    CEventLoop loop;
    std::atomic<bool> flag{false};
    std::thread other([&] {
        std::this_thread::sleep_for(Ms{50});
        flag = true;
        loop.Wake();
    });
    const auto start = Clock::now();
    EXPECT_TRUE(loop.RunUntil([&] { return flag.load(); }, start + std::chrono::hours{1}));
    EXPECT_LT(Clock::now() - start, std::chrono::minutes{5});  // not the hour's deadline
    other.join();
}

TEST(EventLoop, SeveralDriversShareOneLoop) {
    CEventLoop loop;
    CLoopDriver a(loop);
    CLoopDriver b(loop);
    TickCounter ca(a);
    TickCounter cb(b);
    a.ArmTimer(kFastResendTimer, Ms{15});
    b.ArmTimer(kFastResendTimer, Ms{25});
    ASSERT_TRUE(
        loop.RunUntil([&] { return ca.ticks >= 4 && cb.ticks >= 4; }, Clock::now() + kPatience));
    {
        CLoopDriver gone(loop);  // attached, then detached when it goes
        gone.ArmTimer(kFastResendTimer, Ms{1});
    }
    EXPECT_FALSE(loop.RunUntil(Never, Clock::now() + Ms{50}));
}

// The driver with its port and reader on a pseudo-terminal: the test plays the board.
TEST(LoopDriver, RepliesAreHandledOnTheLoopThread) {
    PtyPair pty;
    CEventLoop loop;
    RecordingDriver rec(loop);
    CLoopDriver& d = rec.driver;
    std::thread::id handledOn;
    d.onTrace = [&](TraceDirection direction, const uint8_t*, size_t) {
        if (direction == TraceDirection::Received) {
            handledOn = std::this_thread::get_id();
        }
    };
    ASSERT_EQ(d.OpenPort(pty.slavePath(), 115200), kErrSuccess);
    TempImage file(MakeImage(300));
    ASSERT_EQ(d.Engine().Start(file.path(), file.name()), StartResult::Started);
    const Bytes enter = pty.receive(23, std::chrono::duration_cast<Ms>(kPatience));
    ASSERT_EQ(enter.size(), 23u);
    EXPECT_EQ(enter[3], 25);

    pty.send(BoardReply(25));
    ASSERT_TRUE(loop.RunUntil([&] { return d.Engine().Phase() == UpgradePhase::Handshake; },
                              Clock::now() + kPatience));
    EXPECT_EQ(handledOn, std::this_thread::get_id());
    EXPECT_EQ(d.Info(), text::kDeviceFound);
    const Bytes begin = pty.receive(23, std::chrono::duration_cast<Ms>(kPatience));
    ASSERT_EQ(begin.size(), 23u);
    EXPECT_EQ(begin[3], 26);

    // Closing stops the resend timer, waits for the reader, and the port can open again.
    d.ClosePort();
    EXPECT_FALSE(d.Port().IsOpen());
    EXPECT_FALSE(d.AnyTimerArmed());
    EXPECT_EQ(d.Engine().Phase(), UpgradePhase::Stalled);
    ASSERT_EQ(d.OpenPort(pty.slavePath(), 115200), kErrSuccess);
    EXPECT_TRUE(d.Port().IsOpen());
}

TEST(LoopDriver, ClosingHandsOverTheLastReplyFirst) {
    PtyPair pty;
    CEventLoop loop;
    CLoopDriver d(loop);
    ASSERT_EQ(d.OpenPort(pty.slavePath(), 115200), kErrSuccess);
    TempImage file(MakeImage(300));
    ASSERT_EQ(d.Engine().Start(file.path(), file.name()), StartResult::Started);
    ASSERT_EQ(pty.receive(23, std::chrono::duration_cast<Ms>(kPatience)).size(), 23u);
    std::atomic<int> received{0};
    d.onTrace = [&](TraceDirection direction, const uint8_t*, size_t) {
        received += direction == TraceDirection::Received;
    };
    pty.send(BoardReply(25));
    // Let the reader take it in and wait in the hand-over, without running the loop. The
    // reader sits in a read already: a second is plenty even on a loaded machine.
    std::this_thread::sleep_for(Ms{1000});
    d.ClosePort();
    EXPECT_EQ(received.load(), 1) << "a reply the reader had gathered is handled before the close";
    EXPECT_FALSE(d.Port().IsOpen());
}

TEST(LoopDriver, DestroyedWhileTheReaderWaitsInAHandOver) {
    PtyPair pty;
    CEventLoop loop;
    {
        CLoopDriver d(loop);
        ASSERT_EQ(d.OpenPort(pty.slavePath(), 115200), kErrSuccess);
        pty.send(BoardReply(25));
        std::this_thread::sleep_for(Ms{300});
    }  // no deadlock: the hand-over is cancelled, the reader closes the port and ends
    CComPort again;
    EXPECT_EQ(again.Open(pty.slavePath().c_str(), 1024, 1024), kErrSuccess)
        << "the port was closed and released";
}

TEST(LoopDriver, OpenFailureStartsNoReader) {
    CEventLoop loop;
    CLoopDriver d(loop);
    EXPECT_NE(d.OpenPort("/nonexistent/tarvik/tty", 115200), kErrSuccess);
    EXPECT_FALSE(d.Port().IsOpen());
    TempImage file(MakeImage(300));
    EXPECT_EQ(d.Engine().Start(file.path(), file.name()), StartResult::PortNotOpen);
    EXPECT_EQ(d.Messages(), std::vector<std::string>{text::kOpenPortFirst});
}

// Frames go out on the port's line thread, so a write's own result is only "queued". Once
// the device has gone (the far end of the line closed, as a pulled adapter), the line's
// failure must still reach whoever writes next: the station's probe takes exactly that for
// a vanished device, and without it would wait for a board that can never answer.
TEST(LoopDriver, AWriteAfterTheDeviceHasGoneReportsTheFailure) {
    PtyPair pty;
    CEventLoop loop;
    CLoopDriver d(loop);
    ASSERT_EQ(d.OpenPort(pty.slavePath(), 115200), kErrSuccess);
    const uint8_t frame[] = {0x55, 0xAA, 0x01};
    uint32_t written = 0;
    ASSERT_EQ(d.Port().Write(frame, sizeof frame, &written, nullptr, 1000), kErrSuccess);
    pty.closeMaster();

    uint32_t code = kErrSuccess;
    const auto deadline = Clock::now() + kPatience;
    while (Clock::now() < deadline) {
        code = d.Port().Write(frame, sizeof frame, &written, nullptr, 1000);
        if (code != kErrSuccess) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(code, kErrSuccess);
    EXPECT_NE(code, kErrTimeout);
    EXPECT_EQ(written, 0u);
    d.ClosePort();
}

}  // namespace
}  // namespace tarvik::testing
