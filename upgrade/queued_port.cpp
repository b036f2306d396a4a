// The port's line thread: see queued_port.h.
#include "upgrade/queued_port.h"

#include <cerrno>
#include <system_error>
#include <utility>

namespace tarvik {

namespace {

// Only a write tells that the device has gone: a line setting the device refused (one rate
// of the scan it does not know, whatever code its driver gives) leaves the line usable.
bool LineHasFailed(bool isSetup, uint32_t code) {
    return !isSetup && IsDeviceGoneCode(code);
}

}  // namespace

CQueuedPort::~CQueuedPort() {
    StopLine();
}

bool CQueuedPort::StartLine(uint32_t* error) {
    if (error != nullptr) {
        *error = kErrSuccess;
    }
    StopLine();  // a previous opening's thread, if any, has nothing left to do
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = false;
        m_lineRunning = true;
        m_lineFailure = kErrSuccess;
    }
    try {
        m_thread = std::thread(&CQueuedPort::RunLine, this);
    } catch (const std::system_error& failure) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lineRunning = false;
        if (error != nullptr) {
            const int value = failure.code().value();
            *error = static_cast<uint32_t>(value != 0 ? value : EAGAIN);
        }
        return false;
    }
    return true;
}

void CQueuedPort::DropQueued() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
}

void CQueuedPort::StopLine() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.clear();
        m_quit = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lineRunning = false;
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
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        failure = m_lineRunning ? m_lineFailure : kErrSuccess;
        if (!m_lineRunning || m_quit || failure != kErrSuccess) {
            return false;
        }
        m_queue.push_back(std::move(work));
    }
    m_cv.notify_one();
    return true;
}

void CQueuedPort::RunLine() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_cv.wait(lock, [&] { return m_quit || !m_queue.empty(); });
        if (m_quit) {
            return;
        }
        Work work = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        uint32_t code = kErrSuccess;
        if (work.isSetup) {
            code = CComPort::Setup(work.baudRate, work.dataBits, work.parity, work.stopBits);
        } else {
            uint32_t written = 0;
            code = CComPort::Write(work.bytes.data(), static_cast<uint32_t>(work.bytes.size()),
                                   &written, nullptr, work.timeoutMs);
        }
        lock.lock();
        if (LineHasFailed(work.isSetup, code) && m_lineFailure == kErrSuccess) {
            m_lineFailure = code;
            m_queue.clear();  // nothing more can go out on a line that has gone
        }
    }
}

}  // namespace tarvik
