#include "serial/com_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "serial/com_names.h"
#include "serial/device_calls.h"
#include "serial/termios2.h"  // no <termios.h> in this file

namespace tarvik {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Bytes a timed-out Read keeps for the next one; room for one chunk of the reader, grows
// only if a caller reads more at once.
constexpr size_t kCarryReserve = 4096;

constexpr uint64_t kWakeIncrement = 1;

// The finest timer slack a thread can ask for, in nanoseconds (0 would restore the default).
constexpr unsigned long kFinestTimerSlackNs = 1;

using std::chrono::nanoseconds;

// The end of a burst is a 2 ms wait: the kernel's default slack of 50 us on the reading
// thread's timers would be added to every reply. Once per thread.
void TightenTimerSlack() {
    thread_local bool done = false;
    if (!done) {
        prctl(PR_SET_TIMERSLACK, kFinestTimerSlackNs, 0, 0, 0);
        done = true;
    }
}

// While a write's bytes are still queued in the driver, the port looks again after the time
// those bytes take on the line, but never sooner than this.
constexpr milliseconds kDrainRecheckFloor{1};

// How long a settings change waits for bytes already written to leave before it gives up
// (1460, nothing changed): as long as a timed write waits for its own bytes.
constexpr milliseconds kSettingsDrainLimit = kWriteTotalTimed;

// How long `bytes` characters take on the line at the device's current settings.
Clock::duration LineTime(int device, uint32_t bytes) {
    termios2 settings{};
    if (serial::GetDeviceTermios(device, settings) != 0) {
        return kDrainRecheckFloor;
    }
    const auto time = serial::ByteTime(serial::ReadLineSettings(settings)) * bytes;
    return std::max<Clock::duration>(time, kDrainRecheckFloor);
}

// Sets the driver's low-latency flag, so that a USB adapter passes a short reply on at once
// instead of holding it for its latency timer (16 ms by default on common adapters, about as
// long as a whole block exchange at 115200 baud). True when this changed the flag, which
// the port then clears again as it closes. A device without the flag (a pseudo-terminal:
// ENOTTY or EINVAL) or one that refuses it is no error: the port works, only slower.
bool EnableLowLatency(int device) {
    const serial::DeviceCalls& calls = serial::Calls();
    bool on = false;
    if (calls.getLowLatency(device, on) != 0 || on) {
        return false;
    }
    return calls.setLowLatency(device, true) == 0;
}

uint32_t Code(int error) {
    return static_cast<uint32_t>(error);
}

timespec TimeLeft(Clock::time_point until) {
    const auto left = std::max(Clock::duration::zero(), until - Clock::now());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>(nanos.count())};
}

void Signal(int eventFd) {
    if (eventFd >= 0) {
        // A full counter or a full pipe already wakes the waiter: the result does not matter.
        [[maybe_unused]] ssize_t n = write(eventFd, &kWakeIncrement, sizeof kWakeIncrement);
    }
}

void Drain(int eventFd) {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = read(eventFd, &value, sizeof value);
}

// Result of one transfer: error code and byte count.
struct Outcome {
    uint32_t code = kErrSuccess;
    uint32_t count = 0;
};

bool DeviceGone(short revents) {
    return (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

// Whether the device reports a hang-up right now, without waiting.
bool HungUpNow(int device) {
    pollfd fds{device, POLLIN, 0};
    return poll(&fds, 1, 0) > 0 && DeviceGone(fds.revents);
}

// Reports a finished transfer through the caller's record, if there is one.
void Complete(ComOverlapped* overlapped, const Outcome& outcome) {
    if (overlapped != nullptr) {
        overlapped->count = outcome.count;
        overlapped->error = outcome.code;
        Signal(overlapped->event);
    }
}

}  // namespace

struct CComPort::Impl {
    std::mutex mutex;
    std::condition_variable idle;  // inFlight dropped to 0, or a Close finished

    // The device and its two wake-up descriptors, valid while fd >= 0. They are closed only
    // by Close, and only once no transfer (inFlight) is waiting on them.
    int fd = -1;
    int readWake = -1;      // a Write's purge ends a Read blocked on another thread
    int closeWake = -1;     // Close ends every transfer in progress
    int inFlight = 0;       // transfers running outside the lock
    int readsInFlight = 0;  // of them, Reads: only they need a purge's wake-up
    bool closing = false;
    uint64_t purges = 0;         // count of Write purges; a Read compares it to see its own abort
    bool cancelPending = false;  // CancelRead came: the Read in progress, or the next, ends

    // How long a byte lasts with the line settings last set, and the burst a reader expects.
    nanoseconds byteTime{0};
    uint32_t expectedBurst = 0;

    // Settings with no device counterpart on Linux.
    uint32_t readMode = kReadTimed;
    std::optional<milliseconds> writeTotal;  // none until mode 1 sets it
    uint32_t commMask = 0;
    uint32_t eventMask = 0xFFFFFFFF;  // the events the last WaitEvent reported
    uint8_t eventChar = 0;

    std::vector<uint8_t> carry;  // bytes a timed-out Read took in; first for the next Read
    std::atomic<bool> open{false};
    bool lowLatencySet = false;  // Open set the driver's flag: Close clears it again

    bool Usable() const { return fd >= 0 && !closing; }

    // A transfer's hold on the device: the descriptors and the settings of the moment.
    struct Ticket {
        int fd = -1;
        int readWake = -1;
        int closeWake = -1;
        uint64_t purges = 0;
        uint32_t readMode = kReadTimed;
        std::optional<milliseconds> writeTotal;
        nanoseconds byteTime{0};
        uint32_t expectedBurst = 0;
    };
    Ticket Enter() {
        ++inFlight;
        return Ticket{fd,       readWake,   closeWake, purges,
                      readMode, writeTotal, byteTime,  expectedBurst};
    }
    void Leave(bool read = false) {
        std::lock_guard lock(mutex);
        readsInFlight -= read ? 1 : 0;
        if (--inFlight == 0) {
            idle.notify_all();
        }
    }

    // What ended a wait on the device and the port's wake-up descriptors.
    enum class Wake { kTime, kDevice, kPurge, kClose, kError };

    // Waits until `until` for `events` on `device` (not watched when device < 0), for Close,
    // and, if `watchPurge`, for a Write's purge or a CancelRead (both reported as kPurge). A
    // purge signal left from a Write that came before this transfer began is drained and
    // ignored.
    Wake Wait(const Ticket& t, bool watchPurge, int device, short events, Clock::time_point until,
              short& revents, int& error) {
        for (;;) {
            pollfd fds[3];
            nfds_t used = 0;
            fds[used++] = {t.closeWake, POLLIN, 0};
            const nfds_t purgeSlot = watchPurge ? used++ : 0;
            if (watchPurge) {
                fds[purgeSlot] = {t.readWake, POLLIN, 0};
            }
            const nfds_t deviceSlot = device >= 0 ? used++ : 0;
            if (device >= 0) {
                fds[deviceSlot] = {device, events, 0};
            }
            const timespec left = TimeLeft(until);
            const int ready = ppoll(fds, used, &left, nullptr);
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;
                }
                error = errno;
                return Wake::kError;
            }
            if (ready == 0) {
                return Wake::kTime;
            }
            if (fds[0].revents != 0) {
                return Wake::kClose;
            }
            if (watchPurge && fds[purgeSlot].revents != 0) {
                Drain(t.readWake);
                if (PurgedSince(t) || TakeCancel()) {
                    return Wake::kPurge;
                }
            }
            if (device >= 0 && fds[deviceSlot].revents != 0) {
                revents = fds[deviceSlot].revents;
                return Wake::kDevice;
            }
        }
    }

    bool PurgedSince(const Ticket& t) {
        std::lock_guard lock(mutex);
        return purges != t.purges;
    }

    bool TakeCancel() {
        std::lock_guard lock(mutex);
        return std::exchange(cancelPending, false);
    }

    // Keeps the bytes of a Read whose caller's time-out ran out, unless a purge came since.
    void Keep(const Ticket& t, const uint8_t* bytes, uint32_t got) {
        std::lock_guard lock(mutex);
        if (purges == t.purges) {
            carry.insert(carry.begin(), bytes, bytes + got);
        }
    }

    // The device has gone (hang-up, EIO, end of file). Bytes that came before are delivered;
    // with none, the read waits out the caller's time-out on the wake-ups alone before it
    // reports the failure: the device answers every poll at once now, and a reader loop
    // must not spin on it.
    Outcome Vanished(const Ticket& t, uint32_t got, int failure, Clock::time_point deadline) {
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

    Outcome ReadDevice(const Ticket& t, uint8_t* bytes, uint32_t length, uint32_t got,
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
                        Keep(t, bytes, got);
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
                    Keep(t, bytes, got);
                    return {Code(error), 0};
                case Wake::kDevice:
                    hungUp = DeviceGone(revents);
                    break;
            }
        }
    }

    Outcome WriteDevice(const Ticket& t, const uint8_t* bytes, uint32_t length,
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
                return AwaitSent(t, done, callerFirst,
                                 callerFirst ? callerDeadline : deviceDeadline);
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

    // How a wait for the driver's queue to empty ended.
    enum class Emptied { kYes, kUnknown, kTime, kWoken, kError };

    // Waits until the driver's queue holds no more output, looking again after the line time
    // of what it still holds (at most `cap` bytes counted), until `deadline` or Close.
    // `queued` receives what it still held when the wait ended otherwise. A device that
    // cannot tell what it holds ends the wait as kUnknown.
    Emptied AwaitEmptyQueue(const Ticket& t, uint32_t cap, Clock::time_point deadline,
                            uint32_t& queued, int& error) {
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
    Outcome AwaitSent(const Ticket& t, uint32_t written, bool callerFirst,
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
                return callerFirst ? Outcome{kErrTimeout, 0}
                                   : Outcome{kErrSuccess, written - queued};
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
    uint32_t AwaitOutputGone(const Ticket& t) {
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

    Outcome WaitForEvent(const Ticket& t, uint32_t mask, bool pending, Clock::time_point deadline) {
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

    Outcome Report(uint32_t events) {
        std::lock_guard lock(mutex);
        eventMask = events;
        return {kErrSuccess, 0};
    }

    // The device's termios2 for a getter, or nothing with the error recorded.
    std::optional<termios2> ReadSettings(std::atomic<uint32_t>& lastError) {
        lastError = kErrSuccess;
        std::lock_guard lock(mutex);
        if (!Usable()) {
            lastError = kErrInvalidHandle;
            return std::nullopt;
        }
        termios2 settings{};
        if (int error = serial::GetDeviceTermios(fd, settings); error != 0) {
            lastError = Code(error);
            return std::nullopt;
        }
        return settings;
    }

    // Releases a device that Open or Close holds: the driver's low-latency flag as it was
    // found, nothing left to send or receive (close would otherwise wait for output to
    // drain), the tty open to others again (TIOCEXCL outlives this descriptor when someone
    // else still holds the tty), then closed, which also drops the flock.
    static void Release(int device, bool clearLowLatency) {
        if (clearLowLatency) {
            serial::Calls().setLowLatency(device, false);
        }
        serial::FlushDevice(device);
        serial::SetExclusive(device, false);
        close(device);
    }
};

CComPort::CComPort() : m_impl(new Impl) {
    m_impl->carry.reserve(kCarryReserve);
}

CComPort::~CComPort() {
    Close();
    delete m_impl;
}

uint32_t CComPort::Open(const char* deviceName, uint32_t /*inQueueSize*/,
                        uint32_t /*outQueueSize*/) {
    m_lastError = kErrSuccess;
    {
        std::lock_guard lock(m_impl->mutex);
        if (m_impl->fd >= 0) {
            return m_lastError = kErrAlreadyInitialized;
        }
        if (deviceName == nullptr) {
            return m_lastError = Code(EINVAL);
        }
        const std::optional<std::string> path = ResolveDeviceName(deviceName);
        if (!path) {
            return m_lastError = Code(ENOENT);
        }
        const int device = open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (device < 0) {
            return m_lastError = Code(errno);
        }
        // Two locks, because neither covers every other program: flock keeps out everyone who
        // also takes it, TIOCEXCL refuses any later open of the tty (except by root). Between
        // open() and these calls another program can still open the device; that window is
        // unavoidable on Linux, and whoever gets the flock second gives way.
        if (flock(device, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(device);
            return m_lastError = Code(error);
        }
        if (int error = serial::SetExclusive(device, true); error != 0) {
            close(device);
            return m_lastError = Code(error);
        }
        termios2 settings{};
        int error = serial::GetDeviceTermios(device, settings);
        if (error == 0) {
            serial::ApplyRawMode(settings);
            error = serial::SetDeviceTermios(device, settings);
        }
        const int readWake = error == 0 ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
        if (error == 0 && readWake < 0) {
            error = errno;
        }
        const int closeWake = error == 0 ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
        if (error == 0 && closeWake < 0) {
            error = errno;
        }
        if (error != 0) {
            if (readWake >= 0) {
                close(readWake);
            }
            Impl::Release(device, false);
            return m_lastError = Code(error);
        }
        m_impl->fd = device;
        m_impl->readWake = readWake;
        m_impl->closeWake = closeWake;
        m_impl->readMode = kReadTimed;
        m_impl->writeTotal.reset();
        m_impl->commMask = 0;
        m_impl->eventMask = 0xFFFFFFFF;
        m_impl->eventChar = 0;
        m_impl->carry.clear();
        m_impl->cancelPending = false;
        m_impl->byteTime = nanoseconds::zero();
        m_impl->expectedBurst = 0;
        m_impl->lowLatencySet = EnableLowLatency(device);
        m_impl->open = true;
    }
    return ApplyOpenDefaults();
}

uint32_t CComPort::Close() {
    m_lastError = kErrSuccess;
    std::unique_lock lock(m_impl->mutex);
    if (m_impl->fd < 0) {
        return kErrSuccess;
    }
    if (m_impl->closing) {
        // Another thread is closing: the port is closed once it is done.
        m_impl->idle.wait(lock, [this] { return m_impl->fd < 0; });
        return kErrSuccess;
    }
    m_impl->closing = true;
    Signal(m_impl->closeWake);
    // Transfers on other threads have been woken and leave promptly; never close a
    // descriptor another thread is still polling.
    m_impl->idle.wait(lock, [this] { return m_impl->inFlight == 0; });
    Impl::Release(m_impl->fd, m_impl->lowLatencySet);
    m_impl->lowLatencySet = false;
    close(m_impl->readWake);
    close(m_impl->closeWake);
    m_impl->fd = m_impl->readWake = m_impl->closeWake = -1;
    m_impl->carry.clear();
    m_impl->cancelPending = false;
    m_impl->closing = false;
    m_impl->open = false;
    m_impl->idle.notify_all();
    return kErrSuccess;
}

bool CComPort::IsOpen() const {
    return m_impl->open;
}

uint32_t CComPort::Setup(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits) {
    m_lastError = kErrSuccess;
    Impl::Ticket ticket;
    {
        std::lock_guard lock(m_impl->mutex);
        if (!m_impl->Usable()) {
            return m_lastError = kErrInvalidHandle;
        }
        ticket = m_impl->Enter();
    }
    // New settings must not garble the tail of a frame still on its way: they wait until
    // every byte already written has left. That wait runs outside the lock, so that Close
    // can end it, and is bounded like a write's; the drained change below then finds the
    // queue empty and waits for the UART's last characters at most.
    uint32_t result = m_impl->AwaitOutputGone(ticket);
    if (result == kErrSuccess) {
        std::lock_guard lock(m_impl->mutex);
        termios2 settings{};
        int error = 0;
        if (!m_impl->Usable()) {
            result = kErrCancelled;  // Close came meanwhile
        } else if ((error = serial::GetDeviceTermios(ticket.fd, settings)) != 0 ||
                   (error = serial::ApplyLineSettings(settings, baudRate, dataBits, parity,
                                                      stopBits)) != 0 ||
                   (error = serial::Calls().setTermiosDrained(ticket.fd, settings)) != 0) {
            result = Code(error);
        } else {
            m_impl->byteTime = serial::ByteTime(serial::ReadLineSettings(settings));
        }
    }
    m_impl->Leave();
    return m_lastError = result;
}

uint32_t CComPort::SetupHandshaking(uint32_t mode) {
    m_lastError = kErrSuccess;
    std::lock_guard lock(m_impl->mutex);
    if (!m_impl->Usable()) {
        return m_lastError = kErrInvalidHandle;
    }
    termios2 settings{};
    if (int error = serial::GetDeviceTermios(m_impl->fd, settings); error != 0) {
        return m_lastError = Code(error);
    }
    if (!serial::ApplyHandshaking(settings, mode)) {
        return m_lastError = kErrInvalidArg;
    }
    if (int error = serial::SetDeviceTermios(m_impl->fd, settings); error != 0) {
        return m_lastError = Code(error);
    }
    // DTR and RTS active for hardware handshaking, held inactive otherwise, as far as the
    // device has modem lines (a pseudo-terminal has none and refuses).
    serial::SetDtrRts(m_impl->fd, mode == kHandshakeHardware);
    return kErrSuccess;
}

uint32_t CComPort::SetupReadTimeouts(uint32_t mode, uint32_t /*ignored*/) {
    m_lastError = kErrSuccess;
    std::lock_guard lock(m_impl->mutex);
    if (!m_impl->Usable()) {
        return m_lastError = kErrInvalidHandle;
    }
    if (mode != kReadNonBlocking && mode != kReadTimed) {
        return m_lastError = kErrInvalidArg;
    }
    m_impl->readMode = mode;
    if (mode == kReadTimed) {
        m_impl->writeTotal = kWriteTotalTimed;
    }
    return kErrSuccess;
}

uint32_t CComPort::SetMask(uint32_t mask) {
    m_lastError = kErrSuccess;
    std::lock_guard lock(m_impl->mutex);
    if (!m_impl->Usable()) {
        return m_lastError = kErrInvalidHandle;
    }
    m_impl->commMask = mask;
    return kErrSuccess;
}

uint32_t CComPort::SetEventChar(uint8_t eventChar, bool addRxFlagEvent) {
    m_lastError = kErrSuccess;
    {
        std::lock_guard lock(m_impl->mutex);
        if (!m_impl->Usable()) {
            return m_lastError = kErrInvalidHandle;
        }
        m_impl->eventChar = eventChar;
    }
    if (addRxFlagEvent) {
        return SetMask(GetMask() | kEvRxFlag);
    }
    return kErrSuccess;
}

uint32_t CComPort::GetMask() {
    m_lastError = kErrSuccess;
    std::lock_guard lock(m_impl->mutex);
    if (!m_impl->Usable()) {
        m_lastError = kErrInvalidHandle;
        return 0;
    }
    return m_impl->commMask;
}

uint8_t CComPort::GetEventChar() {
    m_lastError = kErrSuccess;
    std::lock_guard lock(m_impl->mutex);
    if (!m_impl->Usable()) {
        m_lastError = kErrInvalidHandle;
        return 0;
    }
    return m_impl->eventChar;
}

int32_t CComPort::GetBaudRate() {
    auto settings = m_impl->ReadSettings(m_lastError);
    return settings ? static_cast<int32_t>(serial::ReadLineSettings(*settings).baudRate) : -1;
}

int32_t CComPort::GetDataBits() {
    auto settings = m_impl->ReadSettings(m_lastError);
    return settings ? serial::ReadLineSettings(*settings).dataBits : -1;
}

int32_t CComPort::GetParity() {
    auto settings = m_impl->ReadSettings(m_lastError);
    return settings ? serial::ReadLineSettings(*settings).parity : -1;
}

int32_t CComPort::GetStopBits() {
    auto settings = m_impl->ReadSettings(m_lastError);
    return settings ? serial::ReadLineSettings(*settings).stopBits : -1;
}

int32_t CComPort::GetHandshaking() {
    auto settings = m_impl->ReadSettings(m_lastError);
    return settings ? serial::HandshakingOf(*settings) : -1;
}

uint32_t CComPort::Read(void* buffer, uint32_t length, uint32_t* countOut,
                        ComOverlapped* overlapped, uint32_t timeoutMs) {
    uint32_t localCount = 0;
    uint32_t& count = countOut != nullptr ? *countOut : localCount;
    count = 0;
    m_lastError = kErrSuccess;
    const auto start = Clock::now();
    auto* bytes = static_cast<uint8_t*>(buffer);
    Impl::Ticket ticket;
    uint32_t got = 0;
    {
        std::lock_guard lock(m_impl->mutex);
        if (!m_impl->Usable()) {
            return m_lastError = kErrInvalidHandle;
        }
        if (bytes == nullptr && length > 0) {
            return m_lastError = Code(EINVAL);
        }
        // Bytes a timed-out Read took in come first.
        auto& carry = m_impl->carry;
        got = static_cast<uint32_t>(std::min<size_t>(carry.size(), length));
        std::copy_n(carry.begin(), got, bytes);
        carry.erase(carry.begin(), carry.begin() + got);
        if (std::exchange(m_impl->cancelPending, false)) {
            // Cancelled before it began: it ends at once with what it has.
            count = got;
            const Outcome outcome{got > 0 ? kErrSuccess : kErrCancelled, got};
            Complete(overlapped, outcome);
            return m_lastError = outcome.code;
        }
        ticket = m_impl->Enter();
        ++m_impl->readsInFlight;
    }
    TightenTimerSlack();
    const Outcome outcome =
        m_impl->ReadDevice(ticket, bytes, length, got, start, milliseconds(timeoutMs));
    m_impl->Leave(/*read=*/true);
    count = outcome.count;
    Complete(overlapped, outcome);
    return m_lastError = outcome.code;
}

uint32_t CComPort::ExpectBurst(uint32_t bytes) {
    m_lastError = kErrSuccess;
    std::lock_guard lock(m_impl->mutex);
    if (!m_impl->Usable()) {
        return m_lastError = kErrInvalidHandle;
    }
    m_impl->expectedBurst = bytes;
    return kErrSuccess;
}

uint32_t CComPort::CancelRead() {
    m_lastError = kErrSuccess;
    std::lock_guard lock(m_impl->mutex);
    if (!m_impl->Usable()) {
        return m_lastError = kErrInvalidHandle;
    }
    m_impl->cancelPending = true;
    Signal(m_impl->readWake);
    return kErrSuccess;
}

uint32_t CComPort::Write(const void* bytes, uint32_t length, uint32_t* countOut,
                         ComOverlapped* overlapped, uint32_t timeoutMs) {
    uint32_t localCount = 0;
    uint32_t& count = countOut != nullptr ? *countOut : localCount;
    count = 0;
    m_lastError = kErrSuccess;
    const auto start = Clock::now();
    Impl::Ticket ticket;
    {
        std::lock_guard lock(m_impl->mutex);
        if (!m_impl->Usable()) {
            return m_lastError = kErrInvalidHandle;
        }
        if (bytes == nullptr && length > 0) {
            return m_lastError = Code(EINVAL);
        }
        // Purge first: input not yet read (also what a timed-out Read kept) and output not
        // yet sent are discarded, and a Read blocked on the other thread ends. Its result
        // does not matter: a device that cannot flush fails the write below.
        serial::FlushDevice(m_impl->fd);
        m_impl->carry.clear();
        ++m_impl->purges;
        if (m_impl->readsInFlight > 0) {
            Signal(m_impl->readWake);  // a Read that begins later sees the purge count instead
        }
        ticket = m_impl->Enter();
    }
    const Outcome outcome = m_impl->WriteDevice(ticket, static_cast<const uint8_t*>(bytes), length,
                                                start, milliseconds(timeoutMs));
    m_impl->Leave();
    count = outcome.count;
    Complete(overlapped, outcome);
    return m_lastError = outcome.code;
}

uint32_t CComPort::WaitEvent(ComOverlapped* overlapped, uint32_t timeoutMs) {
    m_lastError = kErrSuccess;
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    Impl::Ticket ticket;
    uint32_t mask = 0;
    bool pending = false;
    {
        std::lock_guard lock(m_impl->mutex);
        if (!m_impl->Usable()) {
            return m_lastError = kErrInvalidHandle;
        }
        mask = m_impl->commMask;
        pending = !m_impl->carry.empty();
        ticket = m_impl->Enter();
    }
    const Outcome outcome = m_impl->WaitForEvent(ticket, mask, pending, deadline);
    m_impl->Leave();
    Complete(overlapped, outcome);
    return m_lastError = outcome.code;
}

}  // namespace tarvik
