// The port's line work, done by its reader thread: see queued_port.h.
#include "upgrade/queued_port.h"

#include <utility>

namespace tarvik {

namespace {

// Only a frame's write tells that the device has gone, and only with a code that says so
// (IsDeviceGoneCode): a time-out, a cut short or a refused argument leaves the line usable.
bool WriteHasFailed(uint32_t code) {
    return IsDeviceGoneCode(code);
}

}  // namespace

void CQueuedPort::AttachLine(std::function<void()> nudge) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
    m_nudge = std::move(nudge);
    m_attached = true;
    m_reading = false;
    m_held = false;
    m_lineFailure = kErrSuccess;
}

void CQueuedPort::DetachLine() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
    m_attached = false;
    m_reading = false;
    m_held = false;
    m_nudge = nullptr;
}

void CQueuedPort::DropQueued() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
}

void CQueuedPort::HoldWakes(bool hold) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_held = hold;
}

void CQueuedPort::WakeLine() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_attached && !m_queue.empty()) {
        WakeLocked();
    }
}

void CQueuedPort::WakeLocked() {
    if (m_reading) {
        // Under the lock: the reader marks the end of its read under it too, so the cut
        // reaches this read (or, if it has just returned, the next, which finds the work
        // first and does it).
        CComPort::CancelRead();
    } else if (m_nudge) {
        m_nudge();
    }
}

uint32_t CQueuedPort::Setup(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits) {
    Work work;
    work.isSetup = true;
    work.baudRate = baudRate;
    work.dataBits = dataBits;
    work.parity = parity;
    work.stopBits = stopBits;
    uint32_t failure = kErrSuccess;
    if (!Queue(std::move(work), failure)) {
        return failure != kErrSuccess ? failure
                                      : CComPort::Setup(baudRate, dataBits, parity, stopBits);
    }
    return kErrSuccess;
}

uint32_t CQueuedPort::Write(const void* bytes, uint32_t length, uint32_t* countOut,
                            ComOverlapped* overlapped, uint32_t timeoutMs) {
    // A caller that waits on its own completion record, or has nothing to send, is served
    // as the port serves it.
    if (overlapped != nullptr || bytes == nullptr || length == 0) {
        return CComPort::Write(bytes, length, countOut, overlapped, timeoutMs);
    }
    Work work;
    const auto* first = static_cast<const uint8_t*>(bytes);
    work.bytes.assign(first, first + length);  // the caller's frame may change once we return
    work.timeoutMs = timeoutMs;
    uint32_t failure = kErrSuccess;
    if (!Queue(std::move(work), failure)) {
        if (failure != kErrSuccess) {
            if (countOut != nullptr) {
                *countOut = 0;
            }
            return failure;
        }
        return CComPort::Write(bytes, length, countOut, overlapped, timeoutMs);
    }
    if (countOut != nullptr) {
        *countOut = length;
    }
    return kErrSuccess;
}

bool CQueuedPort::Queue(Work work, uint32_t& failure) {
    // A closed port has no reader to do the work: the port's own call says so at once.
    const bool open = IsOpen();
    std::lock_guard<std::mutex> lock(m_mutex);
    failure = m_attached ? m_lineFailure : kErrSuccess;
    if (!m_attached || !open || failure != kErrSuccess) {
        return false;
    }
    m_queue.push_back(std::move(work));
    if (!m_held) {
        WakeLocked();
    }
    return true;
}

void CQueuedPort::ServeLocked(std::unique_lock<std::mutex>& lock) {
    while (!m_queue.empty()) {
        Work work = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        uint32_t code = kErrSuccess;
        if (work.isSetup) {
            // Its result is not kept: a refused setting leaves the previous one, and the line
            // still carries frames.
            CComPort::Setup(work.baudRate, work.dataBits, work.parity, work.stopBits);
        } else {
            uint32_t written = 0;
            code = CComPort::Write(work.bytes.data(), static_cast<uint32_t>(work.bytes.size()),
                                   &written, nullptr, work.timeoutMs);
        }
        lock.lock();
        if (WriteHasFailed(code) && m_lineFailure == kErrSuccess) {
            m_lineFailure = code;
            m_queue.clear();  // nothing more can go out on a line that has gone
        }
    }
}

void CQueuedPort::BeginRead() {
    std::unique_lock<std::mutex> lock(m_mutex);
    ServeLocked(lock);
    m_reading = true;
}

void CQueuedPort::EndRead() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reading = false;
}

void CQueuedPort::Serve() {
    std::unique_lock<std::mutex> lock(m_mutex);
    ServeLocked(lock);
}

}  // namespace tarvik
