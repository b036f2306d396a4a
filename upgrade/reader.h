// The reply reader: a thread that reads the port, gathers one reply at a time and hands it
// synchronously to the driver's thread; asked to stop, it closes the port and ends.
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

inline constexpr size_t kReceiveBufferSize = 524288;  // one reply at most, bytes
inline constexpr uint32_t kChunkSize = 512;           // bytes per read
inline constexpr std::chrono::milliseconds kFirstReadTimeout{100};   // between replies
inline constexpr std::chrono::milliseconds kGatherReadTimeout{20};   // silence ends a reply
inline constexpr uint8_t kEndMark[2] = {0x45, 0x44};  // 'E' 'D' ends a reply at once

// The synchronous hand-over of one reply from the reader thread to the driver's thread.
class CReplyHandOver {
public:
    using Handler = std::function<void(const uint8_t* data, uint32_t count)>;
    // `notify` runs on the reader thread when a reply waits; it must make the driver's
    // thread call Deliver() soon (a queued call, a condition variable, ...).
    explicit CReplyHandOver(std::function<void()> notify);

    // Reader thread: offers a reply and blocks until Deliver() has handled it or the
    // hand-over is cancelled. True when it was handled.
    bool Post(const uint8_t* data, uint32_t count);
    // Driver thread: handles the waiting reply, if any, then releases the reader.
    bool Deliver(const Handler& handler);
    // Any thread: releases a reader blocked in Post, now and until Reset().
    void Cancel();
    void Reset();

private:
    std::function<void()> m_notify;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    const uint8_t* m_data = nullptr;
    uint32_t m_count = 0;
    bool m_pending = false;
    bool m_cancelled = false;
};

class CReplyReader {
public:
    CReplyReader();
    ~CReplyReader();  // StopAndJoin

    // Starts the reader on `port`. False while a previous reader has not yet ended; a new
    // reader never sees an earlier stop request.
    bool Start(CComPort& port, CReplyHandOver& handOver);
    // Asks the reader to close the port and end; does not wait.
    void RequestStop();
    // Asks it to stop, releases a hand-over in progress and waits until it has ended.
    // Safe from the driver's thread even while the reader waits inside a hand-over.
    void StopAndJoin();
    bool Running() const;

private:
    void Run(CComPort* port, CReplyHandOver* handOver);

    std::unique_ptr<uint8_t[]> m_receive;  // kReceiveBufferSize
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_running{false};
    CReplyHandOver* m_handOver = nullptr;
    std::thread m_thread;
};

}  // namespace tarvik
