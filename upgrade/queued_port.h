// CQueuedPort: a port whose frame writes and line-settings changes are done by the port's
// reader thread, the one thread of the line, in the order they were asked for, while the
// caller goes on at once.
//
// A write returns only once its bytes have left the line (11.9 ms for a block at 115200, a
// fifth of a second for a search frame at 1200 baud), and a settings change waits for the
// bytes before it. A driver that runs several ports' engines on one thread would otherwise
// stand every other port still for each of those waits. Here each port waits for its own
// line only, on its own thread: the engine decides on the driver's thread, and the line work
// it asks for is done by the thread that reads that line, between its reads. So the frame
// that answers a reply goes out from the thread that read the reply, right after the driver's
// thread has handled it, with no third thread woken in between.
//
// Waking the reader: work asked for while it reads cuts the read short; while it waits for a
// reply to be handled, the hand-over is nudged. While the driver's thread handles a reply
// (HoldWakes), work is only queued: the reader does it as soon as the handling is over, which
// is as soon as it could go out anyway, and costs no extra wake-up. WakeLine has it done at
// once even then (a pause inside the handling must not hold a settings change back).
//
// While the line is attached, Write and Setup only queue their work and return kErrSuccess
// (Write with the whole length as its count): the engine does not look at either result (a
// frame that did not go out is resent by the timer, a setting the port refused leaves the
// previous one). Once a frame's write has failed because the device has gone
// (IsDeviceGoneCode: EIO, a closed handle), every later Write and Setup returns
// that code at once and queues nothing, so a caller that watches for a vanished device (the
// station's probe) learns of it one frame late rather than never. A settings change the
// device refuses never marks the line gone: a line that cannot take one rate still carries
// frames at another. AttachLine forgets it. Without an attached line (or with the port
// closed) Write and Setup are the port's own. Every other operation is the port's own.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "serial/com_port.h"
#include "upgrade/reader.h"

namespace tarvik {

class CQueuedPort : public CComPort, public ILineWork {
public:
    CQueuedPort() = default;
    ~CQueuedPort() override = default;

    // Driver thread, with the port open and before its reader starts: from now on Write and
    // Setup are queued for the reader (given this port as its line work). `nudge` wakes that
    // reader while it waits in a hand-over (CReplyHandOver::Nudge).
    void AttachLine(std::function<void()> nudge);
    // Driver thread, once the reader has ended: forgets the work not yet done; Write and
    // Setup are the port's own again.
    void DetachLine();
    // Any thread: forgets the work not yet begun. The work under way goes on until the port
    // is closed (Close wakes it) or it ends.
    void DropQueued();
    // Driver thread, around the handling of a reply (the reader waits for it to end): work
    // asked for meanwhile is done when the handling is over, without waking the reader.
    void HoldWakes(bool hold);
    // Driver thread: has the work asked for so far done now, even while held.
    void WakeLine();

    uint32_t Setup(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits) override;
    uint32_t Write(const void* bytes, uint32_t length, uint32_t* countOut,
                   ComOverlapped* overlapped, uint32_t timeoutMs) override;

    // ILineWork, the reader thread.
    void BeginRead() override;
    void EndRead() override;
    void Serve() override;

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
    // False when no reader takes work: the caller does it itself. `failure` becomes the
    // code of an earlier failed write (nothing queued), else kErrSuccess.
    bool Queue(Work work, uint32_t& failure);
    // With the lock held: makes the reader look at the queue (cuts its read short or nudges
    // its hand-over).
    void WakeLocked();
    // Does the queued work until none is left; `lock` is held on entry and on return.
    void ServeLocked(std::unique_lock<std::mutex>& lock);

    std::mutex m_mutex;
    std::deque<Work> m_queue;
    std::function<void()> m_nudge;
    bool m_attached = false;
    bool m_reading = false;  // the reader is in a read (or about to begin it)
    bool m_held = false;
    uint32_t m_lineFailure = kErrSuccess;  // the first failed write since AttachLine
};

}  // namespace tarvik
