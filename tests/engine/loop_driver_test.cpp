// The real-time loop driver: timers by id, waking, sleeping, several ports on one loop, and
// the port's reader. Real time with generous bounds: only lower bounds and counts that a
// loaded machine can only make smaller are asserted.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "e2e_support.h"
#include "fake_driver.h"
#include "pty_pair.h"
#include "serial/device_calls.h"
#include "upgrade/queued_port.h"
#include "upgrade/reader.h"
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

// Frames go out on the port's reader thread, so a write's own result is only "queued". Once
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

// The system's device calls, watched: the thread of every frame write, and drained settings
// changes that the device refuses (EIO) while `refuseSettings` holds. One at a time.
struct WatchedCalls {
    WatchedCalls() {
        table = serial::SystemCalls();
        table.write = [](int fd, const void* bytes, size_t length) {
            {
                std::lock_guard<std::mutex> lock(Current().mutex);
                Current().writers.insert(std::this_thread::get_id());
            }
            return serial::SystemCalls().write(fd, bytes, length);
        };
        table.setTermiosDrained = [](int fd, const ::termios2& settings) {
            if (Current().refuseSettings.load()) {
                ++Current().refused;
                return EIO;
            }
            return serial::SystemCalls().setTermiosDrained(fd, settings);
        };
        current = this;
        serial::UseDeviceCalls(&table);  // before any port opens
    }
    ~WatchedCalls() {
        serial::UseDeviceCalls(nullptr);  // every port is closed by now
        current = nullptr;
    }
    static WatchedCalls& Current() { return *current; }
    std::set<std::thread::id> Writers() {
        std::lock_guard<std::mutex> lock(mutex);
        return writers;
    }

    static inline WatchedCalls* current = nullptr;
    serial::DeviceCalls table{};
    std::mutex mutex;
    std::set<std::thread::id> writers;
    std::atomic<bool> refuseSettings{false};
    std::atomic<int> refused{0};
};

size_t ThreadsOfThisProcess() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& task :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

// Each line has one thread, which reads it and writes every frame the engine asks for: the
// first frame (from Start, on the loop's thread), the answers to replies and the resends all
// leave from that thread, never from the loop's thread, and no second thread per port is
// started for the writing.
TEST(LoopDriver, EachLineIsReadAndWrittenByOneThreadOfItsOwn) {
    WatchedCalls calls;
    PtyPair pty;
    PtyPair otherPty;
    CEventLoop loop;
    CLoopDriver d(loop);
    // Another port open first: whatever helper threads the runtime starts with the first
    // thread (a sanitizer's) exist before the count.
    CLoopDriver other(loop);
    ASSERT_EQ(other.OpenPort(otherPty.slavePath(), 115200), kErrSuccess);
    const size_t before = ThreadsOfThisProcess();
    ASSERT_EQ(d.OpenPort(pty.slavePath(), 115200), kErrSuccess);
    EXPECT_EQ(ThreadsOfThisProcess(), before + 1) << "one thread for the port, reading and writing";

    TempImage file(MakeImage(300));
    ASSERT_EQ(d.Engine().Start(file.path(), file.name()), StartResult::Started);
    ASSERT_EQ(pty.receive(23, std::chrono::duration_cast<Ms>(kPatience)).size(), 23u);
    pty.send(BoardReply(25));  // found: the begin-transfer command follows
    ASSERT_TRUE(loop.RunUntil([&] { return d.Engine().Phase() == UpgradePhase::Handshake; },
                              Clock::now() + kPatience));
    ASSERT_EQ(pty.receive(23, std::chrono::duration_cast<Ms>(kPatience)).size(), 23u);
    pty.send(BoardReply(26));  // the first block follows
    ASSERT_TRUE(loop.RunUntil([&] { return d.Engine().Phase() == UpgradePhase::Sending; },
                              Clock::now() + kPatience));
    ASSERT_EQ(pty.receive(137, std::chrono::duration_cast<Ms>(kPatience)).size(), 137u);
    // No answer: the resend timer sends the block again.
    ASSERT_TRUE(loop.RunUntil([&] { return d.Engine().State().resendCount >= 1; },
                              Clock::now() + kPatience));
    ASSERT_EQ(pty.receive(137, std::chrono::duration_cast<Ms>(kPatience)).size(), 137u);

    const std::set<std::thread::id> writers = calls.Writers();
    EXPECT_EQ(writers.size(), 1u) << "every frame from the same thread";
    EXPECT_EQ(writers.count(std::this_thread::get_id()), 0u) << "none from the loop's thread";
    d.ClosePort();
    EXPECT_EQ(ThreadsOfThisProcess(), before);
}

// Only a frame's write that fails marks the line gone. A settings change the device refuses
// leaves the previous settings in force, and the frames after it still go out and report
// success: a refused rate must not turn into "the adapter was pulled".
TEST(LoopDriver, ARefusedLineSettingLeavesTheLineInUse) {
    WatchedCalls calls;
    PtyPair pty;
    CEventLoop loop;
    CLoopDriver d(loop);
    ASSERT_EQ(d.OpenPort(pty.slavePath(), 115200), kErrSuccess);
    calls.refuseSettings = true;
    EXPECT_EQ(d.Port().Setup(9600, 8, kParityNone, kStopBitsOne), kErrSuccess) << "queued";
    const uint8_t frame[] = {0x55, 0xAA, 0x01};
    for (int i = 0; i < 3; ++i) {
        uint32_t written = 0;
        EXPECT_EQ(d.Port().Write(frame, sizeof frame, &written, nullptr, 1000), kErrSuccess)
            << "frame " << i;
        EXPECT_EQ(written, sizeof frame);
        EXPECT_EQ(pty.receive(sizeof frame, std::chrono::duration_cast<Ms>(kPatience)).size(),
                  sizeof frame)
            << "frame " << i << " went out";
    }
    EXPECT_GE(calls.refused.load(), 1) << "the settings change was tried and refused";
    EXPECT_EQ(d.Port().GetBaudRate(), 115200) << "the previous rate stays";
    d.ClosePort();
}

// While a reply is handled the reader waits in the hand-over, and line work asked for then
// goes out once the handling is over. A pause inside the handling (the settle time after the
// board is found) must not hold back the settings change asked for before it: the board
// switches its line during that pause, and so must the port. WakeLine has it done at once.
TEST(LoopDriver, ASettingsChangeAskedForBeforeAPauseIsInForceDuringIt) {
    PtyPair pty;
    CQueuedPort port;
    CReplyHandOver handOver(nullptr);
    CReplyReader reader;
    ASSERT_EQ(port.Open(pty.slavePath().c_str(), 1024, 1024), kErrSuccess);
    port.SetupReadTimeouts(kReadTimed, 0);
    port.AttachLine([&] { handOver.Nudge(); });
    ASSERT_TRUE(reader.Start(port, handOver, nullptr, &port));

    pty.send(BoardReply(25));
    int32_t rateDuringThePause = 0;
    bool handled = false;
    const auto deadline = Clock::now() + kPatience;
    while (!handled && Clock::now() < deadline) {
        handled = handOver.DeliverWithin(
            [&](const uint8_t*, uint32_t) {
                port.HoldWakes(true);
                EXPECT_EQ(port.Setup(9600, 8, kParityNone, kStopBitsOne), kErrSuccess);
                port.WakeLine();
                // The pause: the reader is still held in this hand-over.
                const auto pauseEnd = Clock::now() + kPatience;
                while (Clock::now() < pauseEnd && port.GetBaudRate() != 9600) {
                    std::this_thread::sleep_for(Ms{5});
                }
                rateDuringThePause = port.GetBaudRate();
                port.HoldWakes(false);
            },
            Ms{100});
    }
    ASSERT_TRUE(handled);
    EXPECT_EQ(rateDuringThePause, 9600);
    reader.StopAndJoin();
    port.DetachLine();
    EXPECT_FALSE(port.IsOpen());
}

}  // namespace
}  // namespace tarvik::testing
