// What a pseudo-terminal cannot show: that a write returns only once its bytes have left the
// line, that new line settings wait for bytes still queued, and the driver's low-latency
// flag. The port's device calls are watched (and, where a pty lacks them, stood in for)
// through its table of device calls, on a real pseudo-terminal.
// (This file must not include <termios.h>: see serial/termios2.h.)
#include "serial/device_calls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pty_pair.h"
#include "scoped_config_home.h"
#include "serial/com_port.h"
#include "upgrade/queued_port.h"

namespace tarvik::serial {
namespace {

using testing::PtyPair;
using testing::ScopedConfigHome;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kQueueSize = 1024;
constexpr uint32_t kFrameLength = 23;
constexpr uint32_t kSendTimeoutMs = 10001000;  // what the upgrade gives every frame

// The line as the watched calls see it. One at a time: the table is the process's.
struct Line {
    std::mutex mutex;
    std::vector<std::string> log;
    // What the driver reports as still queued, one answer per question; when the script is
    // out, `stuckAt` if set (a line that never empties), else the system's own answer.
    std::deque<uint32_t> queued;
    std::optional<uint32_t> stuckAt;
    // The driver's low-latency flag; nothing: a driver without the request.
    std::optional<bool> lowLatency;
    bool refuseLowLatency = false;
    // A drained settings change on a line that never empties waits, as the driver's would,
    // until the test lets it go.
    std::condition_variable letGo;
    bool released = false;
    // A driver that refuses every line setting, or fails every write, with this errno.
    std::optional<int> refuseSettings;
    std::optional<int> failWrites;

    void Note(const std::string& what) {
        std::lock_guard lock(mutex);
        log.push_back(what);
    }
    std::vector<std::string> Log() {
        std::lock_guard lock(mutex);
        return log;
    }
    void Clear() {
        std::lock_guard lock(mutex);
        log.clear();
    }
    std::vector<std::string> LowLatencyLog() {
        std::lock_guard lock(mutex);
        std::vector<std::string> out;
        for (const std::string& entry : log) {
            if (entry.rfind("low latency", 0) == 0) {
                out.push_back(entry);
            }
        }
        return out;
    }
};
Line* g_line = nullptr;

ssize_t WatchedWrite(int fd, const void* bytes, size_t length) {
    {
        std::lock_guard lock(g_line->mutex);
        if (g_line->failWrites) {
            errno = *g_line->failWrites;
            return -1;
        }
    }
    const ssize_t n = SystemCalls().write(fd, bytes, length);
    g_line->Note("write " + std::to_string(n));
    return n;
}

int WatchedOutputQueued(int fd, uint32_t& bytes) {
    int error = 0;
    {
        std::lock_guard lock(g_line->mutex);
        if (!g_line->queued.empty()) {
            bytes = g_line->queued.front();
            g_line->queued.pop_front();
        } else if (g_line->stuckAt) {
            bytes = *g_line->stuckAt;
        } else {
            error = SystemCalls().outputQueued(fd, bytes);
        }
    }
    g_line->Note("queued " + std::to_string(bytes));
    return error;
}

int WatchedDrainOutput(int fd) {
    g_line->Note("drain");
    return SystemCalls().drainOutput(fd);
}

int WatchedSetTermiosDrained(int fd, const termios2& t) {
    g_line->Note("settings after the output");
    {
        std::unique_lock lock(g_line->mutex);
        g_line->letGo.wait(lock, [] { return !g_line->stuckAt || g_line->released; });
        if (g_line->refuseSettings) {
            return *g_line->refuseSettings;
        }
    }
    return SystemCalls().setTermiosDrained(fd, t);
}

int StandInGetLowLatency(int, bool& on) {
    std::lock_guard lock(g_line->mutex);
    if (!g_line->lowLatency) {
        return ENOTTY;
    }
    on = *g_line->lowLatency;
    return 0;
}

int StandInSetLowLatency(int, bool on) {
    g_line->Note(on ? "low latency on" : "low latency off");
    std::lock_guard lock(g_line->mutex);
    if (!g_line->lowLatency) {
        return ENOTTY;
    }
    if (g_line->refuseLowLatency) {
        return EPERM;
    }
    g_line->lowLatency = on;
    return 0;
}

constexpr DeviceCalls kWatched = {
    WatchedWrite,         WatchedOutputQueued,  WatchedDrainOutput, WatchedSetTermiosDrained,
    StandInGetLowLatency, StandInSetLowLatency,
};

class DeviceCallsTest : public ::testing::Test {
protected:
    DeviceCallsTest() {
        g_line = &line;
        UseDeviceCalls(&kWatched);
    }
    ~DeviceCallsTest() override {
        port.Close();
        UseDeviceCalls(nullptr);
        g_line = nullptr;
    }
    void OpenPort() {
        ASSERT_EQ(port.Open(pty.slavePath().c_str(), kQueueSize, kQueueSize), kErrSuccess);
        line.Clear();
    }

    ScopedConfigHome config;
    Line line;
    PtyPair pty;
    CComPort port;
};

// A frame's write returns once its bytes have left: the port waits out the driver's queue,
// then the UART's last characters. Only then may a settings change come, and it too waits
// for anything still queued (a rate switched under a frame's tail garbles it).
TEST_F(DeviceCallsTest, WriteReturnsOnceTheBytesHaveLeftAndSettingsWaitForThem) {
    OpenPort();
    line.queued = {kFrameLength, 7, 0};  // the driver empties its queue as the line runs
    const Bytes frame(kFrameLength, 0x5A);
    uint32_t written = 0;
    EXPECT_EQ(port.Write(frame.data(), kFrameLength, &written, nullptr, kSendTimeoutMs),
              kErrSuccess);
    EXPECT_EQ(written, kFrameLength);
    line.Note("returned");
    EXPECT_EQ(port.Setup(9600, 8, kParityNone, kStopBitsOne), kErrSuccess);

    EXPECT_EQ(line.Log(),
              (std::vector<std::string>{"write 23", "queued 23", "queued 7", "queued 0", "drain",
                                        "returned", "queued 0", "settings after the output"}));
    EXPECT_EQ(pty.receive(kFrameLength, std::chrono::seconds(10)), frame);
    EXPECT_EQ(port.GetBaudRate(), 9600);
}

// A line that never empties (held by flow control, a stalled adapter) does not hold the
// write for ever: the caller's time-out cancels it (1460, nothing counted), or the port's
// own write limit of 300 ms ends it with the bytes that did leave.
TEST_F(DeviceCallsTest, WaitForTheLineIsBoundedByTheWritesTimeOut) {
    constexpr uint32_t kStuck = 5;
    const struct {
        const char* name;
        uint32_t timeoutMs;
        uint32_t code;
        uint32_t count;
    } cases[] = {
        {"the caller's time-out comes first", 50, kErrTimeout, 0},
        {"the write limit comes first", kSendTimeoutMs, kErrSuccess, kFrameLength - kStuck},
    };
    OpenPort();
    line.stuckAt = kStuck;
    const Bytes frame(kFrameLength, 0x33);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t written = 99;
        EXPECT_EQ(port.Write(frame.data(), kFrameLength, &written, nullptr, c.timeoutMs), c.code);
        EXPECT_EQ(written, c.count);
        const std::vector<std::string> log = line.Log();
        EXPECT_EQ(std::count(log.begin(), log.end(), "drain"), 0) << "the line never emptied";
        line.Clear();
    }
}

// A settings change waits for bytes still queued as a write does: Close ends that wait at
// once, and a line that never empties (held by flow control, a stalled adapter) gives up
// after the write limit with nothing changed. Neither holds the port's lock meanwhile.
TEST_F(DeviceCallsTest, SettingsWaitingForAStuckLineEndOnCloseOrTheLimit) {
    constexpr auto kPatience = std::chrono::seconds(10);
    const struct {
        const char* name;
        bool close;
        uint32_t code;
    } cases[] = {
        {"Close from the other thread", true, kErrCancelled},
        {"nobody closes", false, kErrTimeout},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OpenPort();
        {
            std::lock_guard lock(line.mutex);
            line.stuckAt = 5;
            line.released = false;
        }
        auto setup = std::async(std::launch::async,
                                [&] { return port.Setup(9600, 8, kParityNone, kStopBitsOne); });
        std::future<uint32_t> close;
        if (c.close) {
            // Once the change waits on the line: either the port's wait or the driver's.
            while (line.Log().empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            close = std::async(std::launch::async, [&] { return port.Close(); });
        }
        const bool ended = setup.wait_for(kPatience) == std::future_status::ready &&
                           (!c.close || close.wait_for(kPatience) == std::future_status::ready);
        EXPECT_TRUE(ended) << "the change held on to the stuck line";
        {
            std::lock_guard lock(line.mutex);
            line.released = true;  // lets a change waiting in the driver go, so all unwinds
        }
        line.letGo.notify_all();
        EXPECT_EQ(setup.get(), c.code);
        if (c.close) {
            EXPECT_EQ(close.get(), kErrSuccess);
            EXPECT_FALSE(port.IsOpen());
        } else {
            EXPECT_EQ(port.GetBaudRate(), 115200) << "nothing changed";
        }
        {
            std::lock_guard lock(line.mutex);
            line.stuckAt.reset();
        }
        port.Close();
    }
}

// The low-latency flag is set while the port is open and given back as it was found when
// it closes; a device without it, or one that refuses it, still opens.
TEST_F(DeviceCallsTest, LowLatencyWhileOpenAndAsFoundAfterClose) {
    const struct {
        const char* name;
        std::optional<bool> found;
        bool refuse;
        std::vector<std::string> atOpen;
        std::vector<std::string> atClose;
        std::optional<bool> afterClose;
    } cases[] = {
        {"found off", false, false, {"low latency on"}, {"low latency off"}, false},
        {"found on", true, false, {}, {}, true},
        {"no such request (a pseudo-terminal)", std::nullopt, false, {}, {}, std::nullopt},
        {"refused by the driver", false, true, {"low latency on"}, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        line.lowLatency = c.found;
        line.refuseLowLatency = c.refuse;
        line.Clear();
        ASSERT_EQ(port.Open(pty.slavePath().c_str(), kQueueSize, kQueueSize), kErrSuccess);
        EXPECT_EQ(line.LowLatencyLog(), c.atOpen);
        if (c.found && !c.refuse) {
            EXPECT_TRUE(*line.lowLatency);
        }
        line.Clear();
        port.Close();
        EXPECT_EQ(line.LowLatencyLog(), c.atClose);
        EXPECT_EQ(line.lowLatency, c.afterClose);
    }
}

// The port's line work: a line setting the driver refuses, whatever its code, leaves the
// line usable, so the next frame still goes out (a search tries rates a device may not
// know); a write that fails because the device has gone ends the line's work, and every
// later call says so at once.
class QueuedLineTest : public ::testing::Test {
protected:
    QueuedLineTest() {
        g_line = &line;
        UseDeviceCalls(&kWatched);
    }
    ~QueuedLineTest() override {
        port.Close();
        {
            std::lock_guard lock(serveMutex);
            quit = true;
        }
        serveCv.notify_all();
        if (server.joinable()) {
            server.join();
        }
        port.DetachLine();
        UseDeviceCalls(nullptr);
        g_line = nullptr;
    }

    // The line's work is done by the thread that reads the line; here a thread of the test's
    // stands in for it and does the work whenever it is woken for it.
    void AttachServer() {
        port.AttachLine([this] {
            {
                std::lock_guard lock(serveMutex);
                woken = true;
            }
            serveCv.notify_all();
        });
        server = std::thread([this] {
            std::unique_lock lock(serveMutex);
            while (!quit) {
                serveCv.wait(lock, [this] { return woken || quit; });
                woken = false;
                lock.unlock();
                port.Serve();
                lock.lock();
            }
        });
    }

    ScopedConfigHome config;
    Line line;
    PtyPair pty;
    CQueuedPort port;
    std::mutex serveMutex;
    std::condition_variable serveCv;
    bool woken = false;
    bool quit = false;
    std::thread server;
};

TEST_F(QueuedLineTest, RefusedSettingKeepsTheLineAndAWriteToAGoneDeviceEndsIt) {
    constexpr auto kPatience = std::chrono::seconds(10);
    ASSERT_EQ(port.Open(pty.slavePath().c_str(), kQueueSize, kQueueSize), kErrSuccess);
    AttachServer();
    const Bytes frame(kFrameLength, 0x5A);
    uint32_t written = 0;
    for (const int refusal : {EINVAL, EPERM, ENOTTY, EIO}) {
        SCOPED_TRACE(refusal);
        {
            std::lock_guard lock(line.mutex);
            line.refuseSettings = refusal;
        }
        EXPECT_EQ(port.Setup(1200, 8, kParityNone, kStopBitsOne), kErrSuccess);
        ASSERT_EQ(port.Write(frame.data(), kFrameLength, &written, nullptr, kSendTimeoutMs),
                  kErrSuccess);
        EXPECT_EQ(pty.receive(kFrameLength, kPatience), frame);
    }

    {
        std::lock_guard lock(line.mutex);
        line.refuseSettings.reset();
        line.failWrites = EIO;
    }
    // Queued at once; the failure shows from a later call on, once the line has met it.
    uint32_t code = kErrSuccess;
    const auto giveUp = std::chrono::steady_clock::now() + kPatience;
    while (code == kErrSuccess && std::chrono::steady_clock::now() < giveUp) {
        code = port.Write(frame.data(), kFrameLength, &written, nullptr, kSendTimeoutMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(code, static_cast<uint32_t>(EIO));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(port.Setup(9600, 8, kParityNone, kStopBitsOne), static_cast<uint32_t>(EIO));
}

}  // namespace
}  // namespace tarvik::serial
