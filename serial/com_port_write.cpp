// The Linux port's writes: the purge before each, the write itself and the wait until its
// bytes have left the line, which a settings change shares.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>

#include "serial/com_port_posix.h"  // no <termios.h> in this file

namespace tarvik {

using namespace posix;

namespace {

// While a write's bytes are still queued in the driver, the port looks again after the time
// those bytes take on the line, but never sooner than this.
constexpr milliseconds kDrainRecheckFloor{1};

// How long `bytes` characters take on the line at the device's current settings.
Clock::duration LineTime(int device, uint32_t bytes) {
    termios2 settings{};
    if (serial::GetDeviceTermios(device, settings) != 0) {
        return kDrainRecheckFloor;
    }
    const auto time = serial::ByteTime(serial::ReadLineSettings(settings)) * bytes;
    return std::max<Clock::duration>(time, kDrainRecheckFloor);
}

}  // namespace

Outcome CComPort::Impl::WriteDevice(const Ticket& t, const uint8_t* bytes, uint32_t length,
                                    Clock::time_point start, milliseconds timeout) {
    const auto callerDeadline = start + timeout;
    const auto deviceDeadline = t.writeTotal ? start + *t.writeTotal : Clock::time_point::max();
    const bool callerFirst = callerDeadline < deviceDeadline;
    uint32_t done = 0;
    for (;;) {
        while (done < length) {
            const ssize_t n = serial::Calls().write(t.fd, bytes + done, length - done);
            if (n > 0) {
                done += static_cast<uint32_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else {
                return {Code(n < 0 ? errno : EIO), done};
            }
        }
        if (done == length) {
            return AwaitSent(t, done, callerFirst, callerFirst ? callerDeadline : deviceDeadline);
        }
        short revents = 0;
        int error = 0;
        switch (Wait(t, false, t.fd, POLLOUT, callerFirst ? callerDeadline : deviceDeadline,
                     revents, error)) {
            case Wake::kTime:
                // The caller's wait cancels the write; the device's own limit ends it
                // with what went out.
                return callerFirst ? Outcome{kErrTimeout, 0} : Outcome{kErrSuccess, done};
            case Wake::kPurge:
            case Wake::kClose:
                return {Code(ECANCELED), done};
            case Wake::kError:
                return {Code(error), done};
            case Wake::kDevice:
                if (DeviceGone(revents) && (revents & POLLOUT) == 0) {
                    return {Code(EIO), done};
                }
                break;
        }
    }
}

// Waits until the driver's queue holds no more output, looking again after the line time
// of what it still holds (at most `cap` bytes counted), until `deadline` or Close.
// `queued` receives what it still held when the wait ended otherwise. A device that
// cannot tell what it holds ends the wait as kUnknown.
posix::Emptied CComPort::Impl::AwaitEmptyQueue(const Ticket& t, uint32_t cap,
                                               Clock::time_point deadline, uint32_t& queued,
                                               int& error) {
    const serial::DeviceCalls& calls = serial::Calls();
    for (;;) {
        queued = 0;
        if (calls.outputQueued(t.fd, queued) != 0) {
            queued = 0;
            return Emptied::kUnknown;
        }
        if (queued == 0) {
            return Emptied::kYes;
        }
        queued = std::min(queued, cap);
        const auto recheck = std::min(deadline, Clock::now() + LineTime(t.fd, queued));
        short revents = 0;
        switch (Wait(t, false, -1, 0, recheck, revents, error)) {
            case Wake::kTime:
            case Wake::kDevice:
                if (Clock::now() >= deadline) {
                    return Emptied::kTime;
                }
                break;
            case Wake::kPurge:
            case Wake::kClose:
                return Emptied::kWoken;
            case Wake::kError:
                return Emptied::kError;
        }
    }
}

// Waits until the `written` bytes have left the line: first the driver's queue, then its
// last characters out of the UART. Only then may the next write purge the line, or a
// line-settings change apply, without cutting into the frame. Bounded by the write's own
// limit (`deadline`), and ended by Close. A device that cannot tell what it still holds
// is taken as having sent everything.
Outcome CComPort::Impl::AwaitSent(const Ticket& t, uint32_t written, bool callerFirst,
                                  Clock::time_point deadline) {
    uint32_t queued = 0;
    int error = 0;
    switch (AwaitEmptyQueue(t, written, deadline, queued, error)) {
        case Emptied::kYes:
            serial::Calls().drainOutput(t.fd);
            return {kErrSuccess, written};
        case Emptied::kUnknown:
            return {kErrSuccess, written};
        case Emptied::kTime:
            // The caller's wait cancels the write; the device's own limit ends it with
            // what has left.
            return callerFirst ? Outcome{kErrTimeout, 0} : Outcome{kErrSuccess, written - queued};
        case Emptied::kWoken:
            return {Code(ECANCELED), written - queued};
        case Emptied::kError:
            break;
    }
    return {Code(error), written - queued};
}

// Waits, as a write does, until the bytes already written have left the driver's queue,
// so that a settings change applied after it does not wait for them under the lock.
// Ended by Close (kErrCancelled) and given up after kSettingsDrainLimit (kErrTimeout).
uint32_t CComPort::Impl::AwaitOutputGone(const Ticket& t) {
    uint32_t queued = 0;
    int error = 0;
    const auto deadline = Clock::now() + kSettingsDrainLimit;
    switch (AwaitEmptyQueue(t, UINT32_MAX, deadline, queued, error)) {
        case Emptied::kYes:
        case Emptied::kUnknown:
            return kErrSuccess;
        case Emptied::kTime:
            return kErrTimeout;
        case Emptied::kWoken:
            return kErrCancelled;
        case Emptied::kError:
            break;
    }
    return Code(error);
}

Outcome CComPort::DeviceWrite(const uint8_t* bytes, uint32_t length, Clock::time_point start,
                              milliseconds timeout) {
    Impl& impl = *m_impl;
    return impl.Transfer(
        bytes, length,
        [&](Outcome& /*ended*/) -> std::optional<Impl::Ticket> {
            // Purge first: input not yet read (also what a timed-out Read kept) and output
            // not yet sent are discarded, and a Read blocked on the other thread ends. Its
            // result does not matter: a device that cannot flush fails the write below.
            serial::FlushDevice(impl.fd);
            impl.Purge();
            if (impl.readsInFlight > 0) {
                Signal(impl.readWake);  // a Read that begins later sees the purge count instead
            }
            return impl.Enter();
        },
        [&](const Impl::Ticket& t) { return impl.WriteDevice(t, bytes, length, start, timeout); });
}

}  // namespace tarvik
