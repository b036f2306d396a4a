// The reply reader: where a reply ends, the hand-over, stopping, and a device that is gone.
// A scripted port gives exact chunk sequences; a pseudo-terminal with the real port shows
// the same on a line.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "no_threads.h"
#include "pty_pair.h"
#include "serial/com_port.h"
#include "upgrade/reader.h"

namespace tarvik::testing {
namespace {

using Ms = std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Generous bounds: the machine is shared and loaded. Nothing below asserts speed.
constexpr Ms kPatience{10000};

Bytes Reply(char last) {
    Bytes r = {'h', ':', 'W', 27, 1, 0};
    r.resize(20, 0);
    uint8_t sum = 0;
    for (uint8_t b : r) {
        sum = static_cast<uint8_t>(sum + b);
    }
    r.push_back(sum);
    r.push_back('E');
    r.push_back(static_cast<uint8_t>(last));
    return r;
}

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// The driver's side of the hand-over: waits for a reply to be offered, then takes it.
class Receiver {
public:
    Receiver()
        : handOver([this] {
              std::lock_guard<std::mutex> lock(m_mutex);
              ++m_offers;
              m_cv.notify_all();
          }) {}

    // Waits for the next offered reply and delivers it; nothing when none came in time.
    // `whileHeld` sees the reply while the reader still waits in the hand-over.
    std::optional<Bytes> Next(Ms timeout = kPatience,
                              const std::function<void(const Bytes&)>& whileHeld = nullptr) {
        const auto end = Clock::now() + timeout;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                if (!m_cv.wait_until(lock, end, [&] { return m_offers > m_taken; })) {
                    return std::nullopt;
                }
                ++m_taken;
            }
            std::optional<Bytes> got;
            const bool delivered = handOver.Deliver([&](const uint8_t* data, uint32_t count) {
                got = Bytes(data, data + count);
                if (whileHeld) {
                    whileHeld(*got);
                }
            });
            if (delivered) {
                return got;
            }
            // That offer was withdrawn (its reader was stopped): wait for the next one.
        }
    }
    // Waits for an offer without taking it.
    bool WaitOffer(Ms timeout = kPatience) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return m_offers > m_taken; });
    }

    CReplyHandOver handOver;

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_offers = 0;
    int m_taken = 0;
};

bool WaitUntil(const std::function<bool()>& done, Ms timeout = kPatience) {
    const auto end = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(Ms{5});
    }
    return true;
}

// ---- a scripted port: every Read takes the next scripted result ----

struct Chunk {
    Bytes bytes;
    uint32_t result = kErrSuccess;
    std::function<void()> before;  // runs on the reader thread as the read starts
};

class ScriptedPort : public CComPort {
public:
    void Add(Bytes bytes, std::function<void()> before = {}) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_script.push_back(Chunk{std::move(bytes), kErrSuccess, std::move(before)});
        m_cv.notify_all();
    }
    // With an empty script a read waits its time-out (really), as a silent line does. A
    // CancelRead ends the read in progress (or the next) with nothing, as the port does:
    // a chunk whose `before` cancelled stays for the next read.
    uint32_t Read(void* buffer, uint32_t length, uint32_t* countOut, ComOverlapped*,
                  uint32_t timeoutMs) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        log.push_back("read " + std::to_string(timeoutMs));
        ++reads;
        *countOut = 0;
        const uint32_t failure = failing.load();
        if (m_script.empty() && failure == 0) {
            m_cv.wait_for(lock, Ms{timeoutMs}, [&] { return !m_script.empty() || m_cancel; });
        }
        if (std::exchange(m_cancel, false)) {
            log.push_back("cancelled");
            return kErrCancelled;
        }
        if (m_script.empty()) {
            return failure != 0 ? failure : kErrTimeout;
        }
        Chunk chunk = std::move(m_script.front());
        m_script.pop_front();
        if (chunk.before) {
            lock.unlock();
            chunk.before();
            lock.lock();
            if (std::exchange(m_cancel, false)) {
                log.push_back("cancelled");
                chunk.before = nullptr;
                m_script.push_front(std::move(chunk));
                return kErrCancelled;
            }
        }
        EXPECT_LE(chunk.bytes.size(), length);
        std::copy(chunk.bytes.begin(), chunk.bytes.end(), static_cast<uint8_t*>(buffer));
        *countOut = static_cast<uint32_t>(chunk.bytes.size());
        return chunk.result;
    }
    uint32_t Close() override {
        closed = true;
        return kErrSuccess;
    }
    uint32_t CancelRead() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancel = true;
        m_cv.notify_all();
        return kErrSuccess;
    }
    uint32_t ExpectBurst(uint32_t bytes) override {
        Note("expect " + std::to_string(bytes));
        return kErrSuccess;
    }
    bool IsOpen() const override { return !closed; }
    void Note(const std::string& what) {
        std::lock_guard<std::mutex> lock(m_mutex);
        log.push_back(what);
    }
    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return log;
    }

    std::atomic<bool> closed{false};
    std::atomic<int> reads{0};
    std::atomic<uint32_t> failing{0};  // returned at once by every read once the script is out

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Chunk> m_script;
    bool m_cancel = false;
    std::vector<std::string> log;
};

TEST(ReplyGatherer, EndMarkAcrossChunksAndTheBufferLimit) {
    std::vector<uint8_t> storage(40, 0xAA);
    CReplyGatherer g(storage.data(), 32);  // bytes 32..39 must stay untouched
    const Bytes head(21, 1);
    EXPECT_EQ(g.Take(head.data(), 21), 21u);
    const Bytes e = {'E'};
    g.Take(e.data(), 1);
    EXPECT_FALSE(g.Complete());
    const Bytes d = {'D'};
    g.Take(d.data(), 1);
    EXPECT_TRUE(g.EndsWithMark());
    EXPECT_EQ(g.Count(), 23u);

    g.Clear();
    const Bytes edInside = {'E', 'D', 'x'};
    g.Take(edInside.data(), 3);
    EXPECT_FALSE(g.Complete()) << "the mark counts only at the end";

    const Bytes lots(40, 7);
    EXPECT_EQ(g.Take(lots.data(), 40), 29u);
    EXPECT_TRUE(g.Full());
    EXPECT_TRUE(g.Complete());
    EXPECT_EQ(g.Take(lots.data(), 5), 0u);
    for (size_t i = 32; i < 40; ++i) {
        EXPECT_EQ(storage[i], 0xAA) << i;
    }
}

// Chunk sequences and the replies they make; "hand N" marks where the hand-over came among
// the reads.
TEST(ReplyReader, ChunksMakeRepliesByTheEndRule) {
    const Bytes ed = Reply('D');
    const Bytes dot = Reply('.');
    const struct {
        const char* name;
        std::vector<Bytes> chunks;  // an empty chunk is a silent read
        std::vector<std::string> log;
    } cases[] = {
        {"'E' 'D' ends at once", {ed}, {"read 100", "hand 23"}},
        {"'E' '.' waits for silence", {dot, {}}, {"read 100", "read 20", "hand 23"}},
        {"'E' then 'D' in the next chunk",
         {Bytes(ed.begin(), ed.end() - 1), {'D'}},
         {"read 100", "read 20", "hand 23"}},
        {"two replies in one chunk", {Concat(ed, ed)}, {"read 100", "hand 46"}},
        {"two replies split badly",
         {Bytes(ed.begin(), ed.begin() + 10),
          Concat(Bytes(ed.begin() + 10, ed.end()), Bytes(5, 'x')),
          {}},
         {"read 100", "read 20", "read 20", "hand 28"}},
        {"silence between the parts",
         {Bytes(ed.begin(), ed.begin() + 10), {}, Bytes(ed.begin() + 10, ed.end())},
         {"read 100", "read 20", "hand 10", "read 100", "hand 13"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPort port;
        Receiver receiver;
        for (const Bytes& b : c.chunks) {
            port.Add(b);
        }
        CReplyReader reader;
        ASSERT_TRUE(reader.Start(port, receiver.handOver));
        size_t hands = 0;
        for (const auto& entry : c.log) {
            hands += entry.rfind("hand", 0) == 0;
        }
        for (size_t i = 0; i < hands; ++i) {
            // Noted while the reader is held: its place among the reads is exact.
            auto reply = receiver.Next(
                kPatience, [&](const Bytes& r) { port.Note("hand " + std::to_string(r.size())); });
            ASSERT_TRUE(reply.has_value());
        }
        reader.StopAndJoin();
        // The reads and hand-overs only (what the port is told to expect has its own test),
        // without the idle reads after the last hand-over, the stop's cut one among them.
        std::vector<std::string> log;
        for (const std::string& entry : port.Log()) {
            if (entry.rfind("expect", 0) != 0) {
                log.push_back(entry);
            }
        }
        while (!log.empty() && (log.back() == "read 100" || log.back() == "cancelled")) {
            log.pop_back();
        }
        EXPECT_EQ(log, c.log);
        EXPECT_TRUE(port.closed);
        EXPECT_FALSE(reader.Running());
    }
}

TEST(ReplyReader, FullBufferIsHandedOverAndTheRestStartsTheNextReply) {
    ScriptedPort port;
    Receiver receiver;
    const Bytes chunk(kChunkSize, 'a');
    port.Add(Bytes(100, 'b'));
    const size_t chunksToFill = kReceiveBufferSize / kChunkSize;  // plus the 100 bytes above
    for (size_t i = 0; i < chunksToFill; ++i) {
        port.Add(chunk);
    }
    port.Add(Bytes{});
    CReplyReader reader;
    ASSERT_TRUE(reader.Start(port, receiver.handOver));
    auto first = receiver.Next();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size(), kReceiveBufferSize);
    EXPECT_EQ((*first)[0], 'b');
    EXPECT_EQ(first->back(), 'a');
    auto second = receiver.Next();
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->size(), 100u) << "what did not fit is the start of the next reply";
    reader.StopAndJoin();
}

TEST(ReplyReader, StopRequests) {
    {
        SCOPED_TRACE("while idle");
        ScriptedPort port;
        Receiver receiver;
        CReplyReader reader;
        ASSERT_TRUE(reader.Start(port, receiver.handOver));
        ASSERT_TRUE(WaitUntil([&] { return port.reads > 0; }));
        reader.RequestStop();
        EXPECT_TRUE(WaitUntil([&] { return !reader.Running(); }));
        EXPECT_TRUE(port.closed);
        EXPECT_FALSE(receiver.WaitOffer(Ms{0}));
        const auto log = port.Log();
        EXPECT_NE(std::find(log.begin(), log.end(), "cancelled"), log.end())
            << "the waiting read is cut short, not waited out";
    }
    {
        SCOPED_TRACE("while gathering: the reply is still handed over, then it ends");
        ScriptedPort port;
        Receiver receiver;
        CReplyReader reader;
        const Bytes ed = Reply('D');
        port.Add(Bytes(ed.begin(), ed.begin() + 10));
        port.Add(Bytes(ed.begin() + 10, ed.end()), [&] { reader.RequestStop(); });
        ASSERT_TRUE(reader.Start(port, receiver.handOver));
        auto reply = receiver.Next();
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(*reply, ed) << "a read cut short by the stop is no silence";
        EXPECT_TRUE(WaitUntil([&] { return !reader.Running(); }));
        EXPECT_TRUE(port.closed);
        reader.StopAndJoin();
        const auto log = port.Log();
        EXPECT_NE(std::find(log.begin(), log.end(), "cancelled"), log.end());
    }
    {
        SCOPED_TRACE("while the driver's thread does not deliver: no deadlock");
        ScriptedPort port;
        Receiver receiver;
        CReplyReader reader;
        port.Add(Reply('D'));
        ASSERT_TRUE(reader.Start(port, receiver.handOver));
        ASSERT_TRUE(receiver.WaitOffer());
        reader.StopAndJoin();  // the reader waits inside the hand-over
        EXPECT_FALSE(reader.Running());
        EXPECT_TRUE(port.closed);
    }
}

// A line that streams without a pause and never sends the end mark (a board printing its
// log): every read returns a full chunk at once. A CancelRead ends the next read with
// nothing, as the port does.
class StreamingPort : public CComPort {
public:
    uint32_t Read(void* buffer, uint32_t length, uint32_t* countOut, ComOverlapped*,
                  uint32_t) override {
        if (++reads == stopAtRead && onStopRead) {
            onStopRead();  // on the reader's thread, while this read is under way
        }
        if (m_cancel.exchange(false)) {
            *countOut = 0;
            return kErrCancelled;
        }
        std::fill_n(static_cast<uint8_t*>(buffer), length, uint8_t{'x'});
        *countOut = length;
        return kErrSuccess;
    }
    uint32_t CancelRead() override {
        m_cancel = true;
        return kErrSuccess;
    }
    uint32_t Close() override {
        closed = true;
        return kErrSuccess;
    }
    uint32_t ExpectBurst(uint32_t) override { return kErrSuccess; }
    bool IsOpen() const override { return !closed; }

    std::atomic<int> reads{0};
    std::atomic<bool> closed{false};
    int stopAtRead = 0;
    std::function<void()> onStopRead;

private:
    std::atomic<bool> m_cancel{false};
};

TEST(ReplyReader, StopOnAStreamingLineAllowsOneMoreRead) {
    StreamingPort port;
    Receiver receiver;
    CReplyReader reader;
    // The stop comes in the middle of a reply that, on this line, never ends by itself.
    port.stopAtRead = 4;
    port.onStopRead = [&] { reader.RequestStop(); };
    ASSERT_TRUE(reader.Start(port, receiver.handOver));
    ASSERT_TRUE(WaitUntil([&] { return port.reads >= port.stopAtRead; }));
    reader.StopAndJoin();  // joins before anyone closes the port, as the Windows window does
    EXPECT_TRUE(port.closed);
    EXPECT_LE(port.reads.load() - port.stopAtRead, 1)
        << "the reader read on after the stop request instead of letting go";
}

TEST(ReplyReader, PortExpectsTheNextReplyAsLongAsTheLast) {
    ScriptedPort port;
    Receiver receiver;
    CReplyReader reader;
    const Bytes ed = Reply('D');
    port.Add(ed);                                  // nothing expected yet
    port.Add(Bytes(ed.begin(), ed.begin() + 10));  // 23 expected
    port.Add(Bytes(ed.begin() + 10, ed.end()));    // its rest: 13 expected
    port.Add(Concat(ed, ed));                      // 23 expected, 46 came
    port.Add(ed);                                  // 46 expected
    ASSERT_TRUE(reader.Start(port, receiver.handOver));
    for (size_t size : {23u, 23u, 46u, 23u}) {
        auto reply = receiver.Next();
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->size(), size);
    }
    reader.StopAndJoin();
    std::vector<std::string> told;
    for (const std::string& entry : port.Log()) {
        if (entry.rfind("expect", 0) == 0) {
            told.push_back(entry);
        }
    }
    // After the last reply the reader may already have been told to expect its length.
    const std::vector<std::string> want = {"expect 23", "expect 13", "expect 23", "expect 46"};
    ASSERT_GE(told.size(), want.size());
    told.resize(want.size());
    EXPECT_EQ(told, want);
}

TEST(ReplyReader, DriverWaitingForALastReplyLearnsThatTheReaderEnded) {
    // A driver closing the port waits for a reply the reader may still hand over; once the
    // reader has ended without one, that wait must end, not run out its time.
    ScriptedPort port;
    Receiver receiver;
    CReplyReader reader;
    ASSERT_TRUE(reader.Start(port, receiver.handOver));
    auto waiting = std::async(std::launch::async, [&] {
        return receiver.handOver.DeliverWithin([](const uint8_t*, uint32_t) {}, Ms{600000});
    });
    reader.RequestStop();
    const bool ended = waiting.wait_for(kPatience) == std::future_status::ready;
    receiver.handOver.Cancel();  // releases a wait that did not end, so the test can
    ASSERT_TRUE(ended);
    EXPECT_FALSE(waiting.get()) << "no reply came";
    EXPECT_TRUE(WaitUntil([&] { return !reader.Running(); }));
    EXPECT_TRUE(port.closed);

    // The next reader's hand-over works again.
    ScriptedPort next;
    reader.StopAndJoin();
    ASSERT_TRUE(reader.Start(next, receiver.handOver));
    next.Add(Reply('D'));
    EXPECT_TRUE(receiver.Next().has_value());
    reader.StopAndJoin();
}

TEST(ReplyReader, NewReaderNeverSeesAnEarlierStopRequest) {
    ScriptedPort first;
    ScriptedPort second;  // declared before the reader: it outlives the reader's thread
    Receiver receiver;
    CReplyReader reader;
    reader.RequestStop();  // nobody running: a request that is nobody's
    ASSERT_TRUE(reader.Start(first, receiver.handOver));
    EXPECT_FALSE(reader.Start(first, receiver.handOver)) << "one reader at a time";
    first.Add(Reply('D'));
    auto reply = receiver.Next();
    ASSERT_TRUE(reply.has_value()) << "the reader ran and handed over";
    EXPECT_FALSE(first.closed);

    // Stopped while holding a reply, then started again on a new port: it reads again.
    first.Add(Reply('D'));
    ASSERT_TRUE(receiver.WaitOffer());
    reader.StopAndJoin();
    ASSERT_TRUE(reader.Start(second, receiver.handOver));
    second.Add(Reply('.'));
    reply = receiver.Next();
    ASSERT_TRUE(reply.has_value()) << "the hand-over works again after the cancelled one";
    EXPECT_EQ(*reply, Reply('.'));
    EXPECT_TRUE(reader.Running());
    EXPECT_FALSE(second.closed);
    reader.StopAndJoin();
    EXPECT_TRUE(second.closed);
}

TEST(ReplyReader, FailingPortDoesNotSpin) {
    // Reads that fail at once, forever: a device pulled out.
    const uint32_t failures[] = {static_cast<uint32_t>(EIO), static_cast<uint32_t>(ENXIO)};
    for (uint32_t failure : failures) {
        ScriptedPort port;
        port.failing = failure;
        Receiver receiver;
        CReplyReader reader;
        ASSERT_TRUE(reader.Start(port, receiver.handOver));
        std::this_thread::sleep_for(Ms{500});
        reader.StopAndJoin();
        // About one read per 100 ms; a spinning reader makes hundreds of thousands.
        EXPECT_LT(port.reads.load(), 60) << "failure " << failure;
        EXPECT_GE(port.reads.load(), 1);
    }
}

// ---- the real port on a pseudo-terminal ----

class PtyReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(port.Open(pty.slavePath().c_str(), 1024, 1024), kErrSuccess);
        port.SetupReadTimeouts(kReadTimed, 0);
        ASSERT_TRUE(reader.Start(port, receiver.handOver));
    }
    void TearDown() override { reader.StopAndJoin(); }

    PtyPair pty;
    CComPort port;
    Receiver receiver;
    CReplyReader reader;
};

TEST_F(PtyReaderTest, ReplyEndingWithTheMarkIsHandedOverWhole) {
    pty.send(Reply('D'));
    auto reply = receiver.Next();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, Reply('D'));
}

TEST_F(PtyReaderTest, ReplyEndingWithADotIsHandedOverAfterSilence) {
    pty.send(Reply('.'));
    const auto sent = Clock::now();
    auto reply = receiver.Next();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, Reply('.'));
    EXPECT_GE(Clock::now() - sent, Ms{20}) << "one silent 20 ms read ends it";
}

TEST_F(PtyReaderTest, TwoRepliesInOneBurstAreOneHandOver) {
    pty.send(Concat(Reply('D'), Reply('D')));
    auto reply = receiver.Next();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->size(), 46u);
}

TEST_F(PtyReaderTest, MarkSplitAcrossChunksEndsTheReply) {
    // 22 bytes, a pause longer than a burst but well inside the 20 ms of silence, then 'D'.
    // A run where the pause came out too long (a loaded machine) proves nothing: try again.
    const Bytes reply = Reply('D');
    for (int attempt = 0; attempt < 20; ++attempt) {
        pty.send(Bytes(reply.begin(), reply.end() - 1));
        const auto first = Clock::now();
        std::this_thread::sleep_for(Ms{6});
        pty.send(Bytes{'D'});
        const bool conclusive = Clock::now() - first < Ms{15};
        auto got = receiver.Next();
        ASSERT_TRUE(got.has_value());
        if (got->size() == 22u) {
            // The 'D' came after the silence: it arrives as a reply of its own.
            auto rest = receiver.Next();
            ASSERT_TRUE(rest.has_value());
            ASSERT_FALSE(conclusive) << "the pause was short, yet the reply was cut";
            continue;
        }
        EXPECT_EQ(*got, reply);
        return;
    }
    GTEST_SKIP() << "the machine never kept a pause below 15 ms";
}

TEST_F(PtyReaderTest, StopWhileIdleClosesThePort) {
    reader.RequestStop();
    ASSERT_TRUE(WaitUntil([&] { return !reader.Running(); }));
    EXPECT_FALSE(port.IsOpen());
    // The port can be opened again and a new reader reads it.
    ASSERT_EQ(port.Open(pty.slavePath().c_str(), 1024, 1024), kErrSuccess);
    ASSERT_TRUE(reader.Start(port, receiver.handOver));
    pty.send(Reply('D'));
    auto reply = receiver.Next();
    ASSERT_TRUE(reply.has_value());
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(PtyReaderTest, StopWhileHandingOverHandsOverFirst) {
    pty.send(Reply('D'));
    ASSERT_TRUE(receiver.WaitOffer());
    reader.RequestStop();
    auto reply = receiver.Next();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, Reply('D'));
    ASSERT_TRUE(WaitUntil([&] { return !reader.Running(); }));
    EXPECT_FALSE(port.IsOpen());
}

// The real port, counting its reads.
class CountingPort : public CComPort {
public:
    uint32_t Read(void* buffer, uint32_t length, uint32_t* countOut, ComOverlapped* overlapped,
                  uint32_t timeoutMs) override {
        ++reads;
        return CComPort::Read(buffer, length, countOut, overlapped, timeoutMs);
    }
    std::atomic<int> reads{0};
};

TEST(PtyReader, VanishedDeviceDoesNotSpin) {
    PtyPair pty;
    CountingPort port;
    Receiver receiver;
    ASSERT_EQ(port.Open(pty.slavePath().c_str(), 1024, 1024), kErrSuccess);
    port.SetupReadTimeouts(kReadTimed, 0);
    CReplyReader reader;
    ASSERT_TRUE(reader.Start(port, receiver.handOver));
    pty.send(Reply('D'));
    ASSERT_TRUE(receiver.Next().has_value());
    pty.closeMaster();  // the adapter is pulled out
    const int before = port.reads.load();
    std::this_thread::sleep_for(Ms{1000});
    const int reads = port.reads.load() - before;
    reader.StopAndJoin();
    EXPECT_LT(reads, 60) << "about ten reads a second; a spinning reader makes thousands";
    EXPECT_FALSE(port.IsOpen());
}

}  // namespace
}  // namespace tarvik::testing

namespace tarvik::testing {
namespace {

// A reader whose thread the system cannot start is an error the caller sees, not the end of
// the program; nothing is left looking as if it ran, and the next start works.
TEST(ReplyReader, ThreadThatCannotStartIsReportedAndLeavesNothingRunning) {
    ScriptedPort port;
    Receiver receiver;
    CReplyReader reader;
    {
        NoNewThreads starved;
        if (!starved.Applied()) {
            GTEST_SKIP() << "this system cannot be kept from starting threads";
        }
        uint32_t error = kErrSuccess;
        EXPECT_FALSE(reader.Start(port, receiver.handOver, &error));
        EXPECT_NE(error, kErrSuccess);
        EXPECT_NE(error, kErrAlreadyInitialized);
        EXPECT_FALSE(reader.Running());
        EXPECT_FALSE(port.closed) << "the port is the caller's to close";
    }
    uint32_t error = kErrInvalidHandle;
    ASSERT_TRUE(reader.Start(port, receiver.handOver, &error));
    EXPECT_EQ(error, kErrSuccess);
    port.Add(Reply('D'));
    EXPECT_TRUE(receiver.Next().has_value());
    EXPECT_FALSE(reader.Start(port, receiver.handOver, &error));
    EXPECT_EQ(error, kErrAlreadyInitialized);
}

}  // namespace
}  // namespace tarvik::testing
