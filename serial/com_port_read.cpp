// The Linux port's reads: timed and non-blocking reads with the bursts a reader expects,
// CancelRead, and the communications events.
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include "serial/com_port_posix.h"  // no <termios.h> in this file

namespace tarvik {

using namespace posix;

namespace {

// The finest timer slack a thread can ask for, in nanoseconds (0 would restore the default).
constexpr unsigned long kFinestTimerSlackNs = 1;

// The end of a burst is a 2 ms wait: the kernel's default slack of 50 us on the reading
// thread's timers would be added to every reply. Once per thread.
void TightenTimerSlack() {
    thread_local bool done = false;
    if (!done) {
        prctl(PR_SET_TIMERSLACK, kFinestTimerSlackNs, 0, 0, 0);
        done = true;
    }
}

// Whether the device reports a hang-up right now, without waiting.
bool HungUpNow(int device) {
    pollfd fds{device, POLLIN, 0};
    return poll(&fds, 1, 0) > 0 && DeviceGone(fds.revents);
}

}  // namespace

bool CComPort::Impl::TakeCancel() {
    std::lock_guard lock(mutex);
    return std::exchange(cancelPending, false);
}

// The device has gone (hang-up, EIO, end of file). Bytes that came before are delivered;
// with none, the read waits out the caller's time-out on the wake-ups alone before it
// reports the failure: the device answers every poll at once now, and a reader loop
// must not spin on it.
Outcome CComPort::Impl::Vanished(const Ticket& t, uint32_t got, int failure,
                                 Clock::time_point deadline) {
    if (got > 0) {
        return {kErrSuccess, got};
    }
    short revents = 0;
    int error = 0;
    switch (Wait(t, true, -1, 0, deadline, revents, error)) {
        case Wake::kPurge:
        case Wake::kClose:
            return {Code(ECANCELED), 0};
        case Wake::kError:
            return {Code(error), 0};
        default:
            return {Code(failure), 0};
    }
}

Outcome CComPort::Impl::ReadDevice(const Ticket& t, uint8_t* bytes, uint32_t length, uint32_t got,
                                   Clock::time_point start, milliseconds timeout) {
    const auto callerDeadline = start + timeout;
    const auto totalDeadline = start + kReadTotalConstant + kReadTotalPerByte * length;
    auto lastByte = start;
    // In raw mode (VMIN 0, VTIME 0) a tty's read returns 0, not EAGAIN, when nothing is
    // there, so only poll's hang-up flags tell a vanished device.
    bool hungUp = false;
    // The rest of an expected burst is waited out once, by its line time, instead of
    // waking for each byte: only where the gap does not end a read on every byte anyway.
    bool mayWaitOut =
        t.expectedBurst > 0 && t.byteTime > nanoseconds::zero() && t.byteTime < kBurstGap;
    bool waitedOut = false;
    // Bytes that came while the read waited: from then on the caller's time-out no longer
    // means silence, and what the read has is delivered rather than kept.
    bool cameWhileWaiting = false;
    bool waited = false;
    for (;;) {
        while (got < length) {
            const ssize_t n = read(t.fd, bytes + got, length - got);
            if (n > 0) {
                got += static_cast<uint32_t>(n);
                lastByte = Clock::now();
                cameWhileWaiting = cameWhileWaiting || waited;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                return Vanished(t, got, errno, callerDeadline);
            } else if (hungUp) {
                return Vanished(t, got, EIO, callerDeadline);
            } else {
                break;
            }
        }
        if (got == length) {
            return {kErrSuccess, got};
        }
        if (t.readMode == kReadNonBlocking) {
            // What has arrived, at once; but a device that has gone still costs the
            // caller's time-out, or a reader polling in this mode would spin on it.
            if (got == 0 && HungUpNow(t.fd)) {
                return Vanished(t, got, EIO, callerDeadline);
            }
            return {kErrSuccess, got};
        }
        if (waitedOut && got == t.expectedBurst) {
            // The expected burst is whole and the gap after its last byte has passed.
            return {kErrSuccess, got};
        }
        // Otherwise bytes that came while it was waited out count from now, so the read
        // never ends sooner than the gap after them.
        waitedOut = false;
        int device = t.fd;
        Clock::time_point deviceDeadline = totalDeadline;
        if (got > 0 && mayWaitOut && got < t.expectedBurst) {
            mayWaitOut = false;
            // Waited out only where it ends within the caller's time-out: a wait-out that
            // ran past it would end the read with the reply half taken in, as if the line
            // were silent. Byte by byte instead, the read ends on the reply's own gap.
            const auto waitOutEnd = lastByte + t.byteTime * (t.expectedBurst - got) + kBurstGap;
            if (waitOutEnd < callerDeadline) {
                waitedOut = true;
                device = -1;
                deviceDeadline = std::min(waitOutEnd, totalDeadline);
            } else {
                deviceDeadline = std::min(lastByte + kBurstGap, totalDeadline);
            }
        } else if (got > 0) {
            deviceDeadline = std::min(lastByte + kBurstGap, totalDeadline);
        }
        const bool callerFirst = callerDeadline < deviceDeadline;
        short revents = 0;
        int error = 0;
        waited = true;
        switch (Wait(t, true, device, POLLIN, callerFirst ? callerDeadline : deviceDeadline,
                     revents, error)) {
            case Wake::kTime:
                if (callerFirst && cameWhileWaiting) {
                    return {kErrSuccess, got};  // a reply arriving is no silence
                }
                if (callerFirst) {
                    Keep(t.purges, bytes, got);
                    return {kErrTimeout, 0};
                }
                if (waitedOut) {
                    break;  // take what came meanwhile
                }
                return {kErrSuccess, got};
            case Wake::kPurge:
            case Wake::kClose:
                return {got > 0 ? kErrSuccess : Code(ECANCELED), got};
            case Wake::kError:
                Keep(t.purges, bytes, got);
                return {Code(error), 0};
            case Wake::kDevice:
                hungUp = DeviceGone(revents);
                break;
        }
    }
}

Outcome CComPort::Impl::WaitForEvent(const Ticket& t, uint32_t mask, bool pending,
                                     Clock::time_point deadline) {
    short revents = 0;
    int error = 0;
    if ((mask & kEvRxChar) != 0 && pending) {
        return Report(kEvRxChar);
    }
    // Without kEvRxChar in the mask nothing can be reported here: wait out the time-out.
    const int device = (mask & kEvRxChar) != 0 ? t.fd : -1;
    switch (Wait(t, false, device, POLLIN, deadline, revents, error)) {
        case Wake::kTime:
            return {kErrTimeout, 0};
        case Wake::kPurge:
        case Wake::kClose:
            return {Code(ECANCELED), 0};
        case Wake::kError:
            return {Code(error), 0};
        case Wake::kDevice:
            break;
    }
    if (!DeviceGone(revents)) {
        return Report(kEvRxChar);
    }
    switch (Wait(t, false, -1, 0, deadline, revents, error)) {
        case Wake::kClose:
            return {Code(ECANCELED), 0};
        case Wake::kError:
            return {Code(error), 0};
        default:
            return {Code(EIO), 0};
    }
}

Outcome CComPort::Impl::Report(uint32_t events) {
    std::lock_guard lock(mutex);
    eventMask = events;
    return {kErrSuccess, 0};
}

Outcome CComPort::DeviceRead(uint8_t* bytes, uint32_t length, Clock::time_point start,
                             milliseconds timeout) {
    Impl& impl = *m_impl;
    uint32_t got = 0;
    return impl.Transfer(
        bytes, length,
        [&](Outcome& ended) -> std::optional<Impl::Ticket> {
            // Bytes a timed-out Read took in come first.
            got = impl.TakeKept(bytes, length);
            if (std::exchange(impl.cancelPending, false)) {
                // Cancelled before it began: it ends at once with what it has.
                ended = {got > 0 ? kErrSuccess : kErrCancelled, got};
                return std::nullopt;
            }
            ++impl.readsInFlight;
            return impl.Enter();
        },
        [&](const Impl::Ticket& t) {
            TightenTimerSlack();
            const Outcome outcome = impl.ReadDevice(t, bytes, length, got, start, timeout);
            std::lock_guard lock(impl.mutex);
            --impl.readsInFlight;
            return outcome;
        });
}

uint32_t CComPort::DeviceExpectBurst(uint32_t bytes) {
    return m_impl->Locked([&] {
        m_impl->expectedBurst = bytes;
        return kErrSuccess;
    });
}

uint32_t CComPort::DeviceCancelRead() {
    return m_impl->Locked([&] {
        m_impl->cancelPending = true;
        Signal(m_impl->readWake);
        return kErrSuccess;
    });
}

Outcome CComPort::DeviceWaitEvent(Clock::time_point start, milliseconds timeout) {
    Impl& impl = *m_impl;
    uint32_t mask = 0;
    bool pending = false;
    return impl.Transfer(
        nullptr, 0,
        [&](Outcome& /*ended*/) -> std::optional<Impl::Ticket> {
            mask = impl.commMask;
            pending = !impl.carry.empty();
            return impl.Enter();
        },
        [&](const Impl::Ticket& t) {
            return impl.WaitForEvent(t, mask, pending, start + timeout);
        });
}

}  // namespace tarvik
