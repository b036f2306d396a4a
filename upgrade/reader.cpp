// The reply reader thread, its gathering rule and the hand-over to the driver's thread.
#include "upgrade/reader.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "serial/com_port.h"

namespace tarvik {

namespace {

constexpr size_t kEndMarkSize = sizeof kEndMark;
// A read that fails this many times in a row without waiting is a device that is gone.
constexpr int kQuickFailuresBeforePause = 2;
// What a read reports when a send on the driver's thread purged the line and cut it short.
constexpr uint32_t kReadCancelled = kErrCancelled;

uint32_t TimeoutMs(std::chrono::milliseconds timeout) {
    return static_cast<uint32_t>(timeout.count());
}

}  // namespace

// ---- CReplyGatherer ----

CReplyGatherer::CReplyGatherer(uint8_t* buffer, size_t capacity)
    : m_buffer(buffer), m_capacity(capacity) {}

uint32_t CReplyGatherer::Take(const uint8_t* chunk, uint32_t count) {
    const size_t room = m_capacity - m_count;
    const size_t taken = std::min<size_t>(count, room);
    if (taken > 0) {
        std::memcpy(m_buffer + m_count, chunk, taken);
        m_count += taken;
    }
    return static_cast<uint32_t>(taken);
}

bool CReplyGatherer::EndsWithMark() const {
    return m_count >= kEndMarkSize &&
           std::memcmp(m_buffer + m_count - kEndMarkSize, kEndMark, kEndMarkSize) == 0;
}

// ---- CReplyHandOver ----

CReplyHandOver::CReplyHandOver(std::function<void()> notify) : m_notify(std::move(notify)) {}

bool CReplyHandOver::Post(const uint8_t* data, uint32_t count,
                          const std::function<void()>& whileWaiting) {
    uint64_t sequence = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_cancelled) {
            return false;
        }
        m_data = data;
        m_count = count;
        sequence = ++m_offered;
    }
    m_cv.notify_all();  // a DeliverWithin may be waiting
    if (m_notify) {
        m_notify();
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_cv.wait(lock, [&] { return m_handled >= sequence || m_cancelled || m_nudged; });
        if (m_handled >= sequence || m_cancelled || !m_nudged) {
            break;
        }
        m_nudged = false;
        if (whileWaiting) {
            // Unlocked: the line work writes, and the handler may go on meanwhile.
            lock.unlock();
            whileWaiting();
            lock.lock();
        }
    }
    const bool handled = m_handled >= sequence;
    if (m_taken < sequence) {
        m_taken = sequence;  // withdrawn: no Deliver may take it after this
    }
    m_data = nullptr;
    m_count = 0;
    return handled;
}

void CReplyHandOver::Nudge() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nudged = true;
    }
    m_cv.notify_all();
}

bool CReplyHandOver::Deliver(const Handler& handler) {
    const uint8_t* data = nullptr;
    uint32_t count = 0;
    uint64_t sequence = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_cancelled || m_taken >= m_offered) {
            return false;
        }
        sequence = m_offered;
        m_taken = sequence;
        data = m_data;
        count = m_count;
    }
    // Unlocked: the handler may show a message box that runs a nested event loop.
    handler(data, count);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_handled = sequence;
    }
    m_cv.notify_all();
    return true;
}

bool CReplyHandOver::DeliverWithin(const Handler& handler, std::chrono::milliseconds timeout) {
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, timeout, [&] { return m_cancelled || m_taken < m_offered; });
    }
    return Deliver(handler);
}

void CReplyHandOver::Cancel() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
    }
    m_cv.notify_all();
}

void CReplyHandOver::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cancelled = false;
    m_nudged = false;
}

// ---- CReplyReader ----

CReplyReader::CReplyReader() : m_receive(std::make_unique<uint8_t[]>(kReceiveBufferSize)) {}

CReplyReader::~CReplyReader() {
    StopAndJoin();
}

bool CReplyReader::Start(CComPort& port, CReplyHandOver& handOver, uint32_t* error,
                         ILineWork* line) {
    uint32_t ignored = kErrSuccess;
    uint32_t& code = error != nullptr ? *error : ignored;
    code = kErrSuccess;
    if (m_running.load()) {
        code = kErrAlreadyInitialized;
        return false;
    }
    if (m_thread.joinable()) {
        m_thread.join();  // it has ended: only its return is left
    }
    m_stop.store(false);  // a stop request for the previous reader is not this one's
    handOver.Reset();
    m_handOver = &handOver;
    m_port.store(&port);
    // Running before the thread exists: a Running() that comes first must already see it.
    m_running.store(true);
    try {
        m_thread = std::thread(&CReplyReader::Run, this, &port, &handOver, line);
    } catch (const std::system_error& failure) {
        // Out of memory or of threads: no reader, and nothing that waits for one.
        m_running.store(false);
        m_handOver = nullptr;
        const int value = failure.code().value();
        code = static_cast<uint32_t>(value != 0 ? value : EAGAIN);
        return false;
    }
    return true;
}

void CReplyReader::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(m_pauseMutex);
        m_stop.store(true);
    }
    m_pauseCv.notify_all();
    // An idle reader would notice only when its read times out: end that read now. A
    // reader that has just ended meets a closed port, which refuses.
    if (CComPort* port = m_port.load(); port != nullptr && m_running.load()) {
        port->CancelRead();
    }
}

void CReplyReader::StopAndJoin() {
    RequestStop();
    // The driver's thread is about to wait for the reader: it can no longer deliver, so
    // a reader blocked in the hand-over must be let go.
    if (m_handOver != nullptr) {
        m_handOver->Cancel();
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool CReplyReader::Running() const {
    return m_running.load();
}

CReplyReader::ChunkRead CReplyReader::ReadChunk(CComPort& port, ILineWork* line, uint8_t* chunk,
                                                std::chrono::milliseconds timeout,
                                                int& quickFailures) {
    if (line != nullptr) {
        line->BeginRead();
    }
    const auto started = std::chrono::steady_clock::now();
    uint32_t count = 0;
    const uint32_t result = port.Read(chunk, kChunkSize, &count, nullptr, TimeoutMs(timeout));
    if (line != nullptr) {
        line->EndRead();
    }
    count = std::min(count, kChunkSize);  // never trust a count beyond what was asked
    if (count > 0 || result == kErrSuccess || result == kErrTimeout) {
        quickFailures = 0;
        return {count, false};
    }
    if (result == kReadCancelled) {
        // Every send cuts the read short (with line work, work asked for does). Reading
        // again at once matters: the answer to that frame is on its way, and the next send
        // would purge it.
        return {0, true};
    }
    // A failed read. A run of them that return at once is a device that is gone (the port
    // should already wait out the time-out; this is the reader's own guard): wait it out.
    if (++quickFailures >= kQuickFailuresBeforePause) {
        std::unique_lock<std::mutex> lock(m_pauseMutex);
        m_pauseCv.wait_until(lock, started + timeout, [&] { return m_stop.load(); });
    }
    return {0, false};
}

void CReplyReader::Run(CComPort* port, CReplyHandOver* handOver, ILineWork* line) {
    CReplyGatherer reply(m_receive.get(), kReceiveBufferSize);
    uint8_t chunk[kChunkSize];
    uint32_t leftAt = 0;  // bytes of the last chunk that did not fit into a full buffer
    uint32_t left = 0;
    int quickFailures = 0;
    // Replies of one kind tend to follow each other: the next is expected to be as long as
    // the last, and the port told so only when that changes.
    uint32_t lastReply = 0;
    uint32_t told = 0;
    auto expect = [&](uint32_t gathered) {
        const uint32_t bytes =
            lastReply > gathered && lastReply - gathered <= kChunkSize ? lastReply - gathered : 0;
        if (bytes != told) {
            port->ExpectBurst(bytes);
            told = bytes;
        }
    };

    while (!m_stop.load()) {
        reply.Clear();
        if (left == 0) {
            expect(0);
            const ChunkRead first = ReadChunk(*port, line, chunk, kFirstReadTimeout, quickFailures);
            if (first.count == 0) {
                continue;
            }
            leftAt = 0;
            left = first.count;
        }
        uint32_t taken = reply.Take(chunk + leftAt, left);
        leftAt += taken;
        left -= taken;
        bool finalRead = false;  // the one read a stop request still allows
        while (!reply.Complete()) {
            // Asked to stop: the bytes can no longer be used, and a line that streams without
            // a pause would otherwise keep the reader (and whoever joins it) until the buffer
            // is full. One more read takes the rest of a reply on its way; then it ends.
            if (m_stop.load()) {
                if (finalRead) {
                    break;
                }
                finalRead = true;
            }
            expect(reply.Count());
            const ChunkRead more = ReadChunk(*port, line, chunk, kGatherReadTimeout, quickFailures);
            if (more.count == 0) {
                if (more.cancelled && m_stop.load()) {
                    continue;  // cut short by the stop request, not by silence: read on
                }
                if (more.cancelled && line != nullptr) {
                    // Cut short for a frame to send, which purges what is still coming: it
                    // goes out now, before the bytes gathered so far are handed over, as a
                    // send from another thread would have cut the read.
                    line->Serve();
                }
                break;  // silent for one gathering read: the reply is complete
            }
            taken = reply.Take(chunk, more.count);
            leftAt = taken;
            left = more.count - taken;
        }
        lastReply = reply.Count();
        if (line != nullptr) {
            handOver->Post(reply.Data(), reply.Count(), [line] { line->Serve(); });
        } else {
            handOver->Post(reply.Data(), reply.Count());
        }
    }
    port->Close();
    m_stop.store(false);
    // A driver waiting in DeliverWithin for a last reply learns at once that none will come;
    // the next Start resets the hand-over.
    handOver->Cancel();
    m_running.store(false);
}

}  // namespace tarvik
