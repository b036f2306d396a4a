// CQueuedPort: a port whose frame writes and line-settings changes are done on the port's
// own line thread, in the order they were asked for, while the caller goes on at once.
//
// A write returns only once its bytes have left the line (11.9 ms for a block at 115200, a
// fifth of a second for a search frame at 1200 baud), and a settings change waits for the
// bytes before it. A driver that runs several ports' engines on one thread would otherwise
// stand every other port still for each of those waits. With the line thread each port
// waits for its own line only: the engine decides on the driver's thread, and the line
// work it asks for runs here.
//
// While the line thread runs, Write and Setup only queue their work and return kErrSuccess
// (Write with the whole length as its count): the engine does not look at either result (a
// frame that did not go out is resent by the timer, a setting the port refused leaves the
// previous one). Once a write has failed because the device has gone (IsDeviceGoneCode:
// EIO, a closed handle; a refused setting never counts), every later Write and Setup returns
// that code at once and queues nothing, so a caller that watches for a vanished device (the
// station's probe) learns of it one frame late rather than never. StartLine forgets it.
// Without the line thread they are the port's own. Every other operation is the port's own, as are
// its thread rules: the reader reads on its thread while the line thread writes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "serial/com_port.h"

namespace tarvik {

class CQueuedPort : public CComPort {
public:
    CQueuedPort() = default;
    ~CQueuedPort() override;  // StopLine

    // Driver thread, with the port open. Starts the line thread; false, with the system's
    // code in `error` and nothing running, when no thread can be started.
    bool StartLine(uint32_t* error = nullptr);
    // Any thread: forgets the work not yet begun. The work under way goes on until the port
    // is closed (Close wakes it) or it ends.
    void DropQueued();
    // Driver thread: forgets the work not yet begun and waits for the line thread to end;
    // it waits for the work under way, so close the port first to have it end promptly.
    void StopLine();

    uint32_t Setup(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits) override;
    uint32_t Write(const void* bytes, uint32_t length, uint32_t* countOut,
                   ComOverlapped* overlapped, uint32_t timeoutMs) override;

private:
    struct Work {
        bool isSetup = false;
        std::vector<uint8_t> bytes;  // a write's frame
        uint32_t timeoutMs = 0;
        uint32_t baudRate = 0;  // a setup's settings
        uint8_t dataBits = 0;
        uint8_t parity = 0;
        uint8_t stopBits = 0;
    };
    void RunLine();
    // False when no line thread takes work: the caller does it itself. `failure` becomes the
    // code of an earlier failed line call (nothing queued), else kErrSuccess.
    bool Queue(Work work, uint32_t& failure);

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Work> m_queue;
    bool m_lineRunning = false;
    bool m_quit = false;
    uint32_t m_lineFailure = kErrSuccess;  // the first failed line call since StartLine
    std::thread m_thread;                  // driver thread only
};

}  // namespace tarvik
