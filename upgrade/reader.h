// The reply reader: a thread that reads the port, gathers one reply at a time and hands it
// synchronously to the driver's thread; asked to stop, it closes the port and ends.
//
// Given a line's work (ILineWork), the reader is also the one thread that writes: between its
// reads, and while it waits for a reply to be handled, it sends the frames and makes the
// settings changes its driver asked for. The frame that answers a reply then goes out on the
// thread that read the reply, as soon as the driver has decided on it, with no other thread
// in between, and a write never cuts a read of the same line short from the side.
//
// A reply ends when its gathered bytes end with 'E' 'D', or when the line stays silent for
// one 20 ms read. Whatever arrives in one burst is one reply, whatever it holds.
//
// The reader tells the port to expect a burst as long as the last reply, so that the port
// wakes it about once per reply rather than once per byte; where a reply ends is the same.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tarvik {

class CComPort;

inline constexpr size_t kReceiveBufferSize = 524288;                // one reply at most, bytes
inline constexpr uint32_t kChunkSize = 512;                         // bytes per read
inline constexpr std::chrono::milliseconds kFirstReadTimeout{100};  // between replies
inline constexpr std::chrono::milliseconds kGatherReadTimeout{20};  // silence ends a reply
inline constexpr uint8_t kEndMark[2] = {0x45, 0x44};                // 'E' 'D' ends a reply at once

// Puts one reply together from the chunks the port returns. Plain bytes in, no port, no
// thread: the end rule can be tried on any sequence of chunks.
class CReplyGatherer {
public:
    // `buffer` holds `capacity` bytes and outlives the gatherer; nothing is written beyond.
    CReplyGatherer(uint8_t* buffer, size_t capacity);

    // Forgets the reply gathered so far.
    void Clear() { m_count = 0; }
    // Appends a chunk behind the bytes gathered; returns how many bytes it took, fewer than
    // `count` only when the buffer has filled up (the rest belongs to the next reply).
    uint32_t Take(const uint8_t* chunk, uint32_t count);
    // The gathered bytes end with the end mark (looked at across chunks).
    bool EndsWithMark() const;
    bool Full() const { return m_count == m_capacity; }
    // Nothing more belongs to this reply: the end mark came, or the buffer is full.
    bool Complete() const { return EndsWithMark() || Full(); }

    const uint8_t* Data() const { return m_buffer; }
    uint32_t Count() const { return static_cast<uint32_t>(m_count); }

private:
    uint8_t* m_buffer;
    size_t m_capacity;
    size_t m_count = 0;
};

// The writes and settings changes a driver has asked of a line, done by the line's reader.
// Every call comes from the reader thread.
class ILineWork {
public:
    virtual ~ILineWork() = default;
    // Does the work asked for so far; then, in one step with finding none left, notes that a
    // read follows, so that work asked for from now on cuts that read short.
    virtual void BeginRead() = 0;
    // The read has returned.
    virtual void EndRead() = 0;
    // Does the work asked for so far (while no read is under way).
    virtual void Serve() = 0;
};

// The synchronous hand-over of one reply from the reader thread to the driver's thread.
class CReplyHandOver {
public:
    using Handler = std::function<void(const uint8_t* data, uint32_t count)>;
    // `notify` runs on the reader thread when a reply waits; it must make the driver's
    // thread call Deliver() soon (a queued call, a condition variable, ...).
    explicit CReplyHandOver(std::function<void()> notify);

    // Reader thread: offers a reply and blocks until Deliver() has handled it or the
    // hand-over is cancelled. True when it was handled. The bytes stay in place until then.
    // Each Nudge() meanwhile (or since the last Post) runs `whileWaiting` on the reader
    // thread, which then goes on waiting.
    bool Post(const uint8_t* data, uint32_t count, const std::function<void()>& whileWaiting = {});
    // Any thread: makes a reader waiting in Post run its `whileWaiting` (line work asked for
    // while the driver's thread handles the reply, that must not wait for the end of it); a
    // reader not waiting runs it at its next Post.
    void Nudge();
    // Driver thread: handles the waiting reply, if any, then releases the reader. The
    // handler copies what it needs before it does anything that may wait: a Cancel during
    // the handler releases the reader at once.
    bool Deliver(const Handler& handler);
    // Driver thread: as Deliver, but first waits up to `timeout` for a reply to be offered.
    bool DeliverWithin(const Handler& handler, std::chrono::milliseconds timeout);
    // Any thread: releases a reader blocked in Post, now and until Reset().
    void Cancel();
    void Reset();

private:
    std::function<void()> m_notify;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    const uint8_t* m_data = nullptr;
    uint32_t m_count = 0;
    uint64_t m_offered = 0;  // sequence number of the last reply offered by Post
    uint64_t m_taken = 0;    // the last one taken by Deliver (or withdrawn by its Post)
    uint64_t m_handled = 0;  // the last one whose handler has returned
    bool m_cancelled = false;
    bool m_nudged = false;
};

class CReplyReader {
public:
    CReplyReader();   // allocates the receive buffer once
    ~CReplyReader();  // StopAndJoin

    CReplyReader(const CReplyReader&) = delete;
    CReplyReader& operator=(const CReplyReader&) = delete;

    // Driver thread. Starts the reader on an open `port`. False while a previous reader
    // has not yet ended (`error`, if given, becomes 1247), or when the system cannot start
    // a thread (`error` becomes its errno, and nothing is left running); the port is not
    // touched then. A new reader never sees an earlier stop request. With `line`, the reader
    // also does that line work (it must outlive the reader).
    bool Start(CComPort& port, CReplyHandOver& handOver, uint32_t* error = nullptr,
               ILineWork* line = nullptr);
    // Any thread. Asks the reader to close the port and end; does not wait. A read waiting
    // for a reply is cut short, so an idle reader closes the port at once; a reply on its
    // way is given one more read and handed over first (whole, unless the line streams on),
    // so the reader ends after at most one more read whatever the line does.
    void RequestStop();
    // Driver thread. Asks it to stop, releases a hand-over in progress (that reply is not
    // handled) and waits until it has closed the port and ended.
    void StopAndJoin();
    // Any thread: a reader is running (it has not yet closed the port and ended).
    bool Running() const;

private:
    void Run(CComPort* port, CReplyHandOver* handOver, ILineWork* line);
    struct ChunkRead {
        uint32_t count = 0;      // bytes read: 0 on a time-out or a failure
        bool cancelled = false;  // cut short by a send's purge or by a stop request
    };
    // One read of up to kChunkSize bytes into `chunk`. A port that fails at once again and
    // again (a device pulled out) is given the whole time-out before the next read, so the
    // reader never spins.
    ChunkRead ReadChunk(CComPort& port, ILineWork* line, uint8_t* chunk,
                        std::chrono::milliseconds timeout, int& quickFailures);

    std::unique_ptr<uint8_t[]> m_receive;  // kReceiveBufferSize
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_running{false};
    std::atomic<CComPort*> m_port{nullptr};  // the running reader's port, for RequestStop
    std::mutex m_pauseMutex;  // the pause after failing reads, cut short by a stop request
    std::condition_variable m_pauseCv;
    CReplyHandOver* m_handOver = nullptr;  // driver thread only
    std::thread m_thread;                  // driver thread only
};

}  // namespace tarvik
