// The Linux port: opening, closing and the line settings, and the waits every transfer
// shares. Reads are in com_port_read.cpp, writes and drains in com_port_write.cpp.
#include "serial/com_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <utility>

#include "serial/com_names.h"
#include "serial/com_port_posix.h"  // no <termios.h> in this file
#include "serial/net_line.h"

namespace tarvik {

using namespace posix;

namespace {

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

}  // namespace

// Waits until `until` for `events` on `device` (not watched when device < 0), for Close,
// and, if `watchPurge`, for a Write's purge or a CancelRead (both reported as kPurge). A
// purge signal left from a Write that came before this transfer began is drained and
// ignored.
posix::Wake CComPort::Impl::Wait(const Ticket& t, bool watchPurge, int device, short events,
                                 Clock::time_point until, short& revents, int& error) {
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
            if (PurgedSince(t.purges) || TakeCancel()) {
                return Wake::kPurge;
            }
        }
        if (device >= 0 && fds[deviceSlot].revents != 0) {
            revents = fds[deviceSlot].revents;
            return Wake::kDevice;
        }
    }
}

// Releases a device that Open or Close holds: the driver's low-latency flag as it was
// found, nothing left to send or receive (close would otherwise wait for output to
// drain), the tty open to others again (TIOCEXCL outlives this descriptor when someone
// else still holds the tty), then closed, which also drops the flock.
void CComPort::Impl::Release(int device, bool clearLowLatency) {
    if (clearLowLatency) {
        serial::Calls().setLowLatency(device, false);
    }
    serial::FlushDevice(device);
    serial::SetExclusive(device, false);
    close(device);
}

CComPort::CComPort() : m_impl(new Impl) {}

CComPort::~CComPort() {
    Close();
    delete m_impl;
}

uint32_t CComPort::DeviceOpen(const std::string& path, uint32_t /*inQueueSize*/,
                              uint32_t /*outQueueSize*/) {
    std::lock_guard lock(m_impl->mutex);
    if (m_impl->open) {
        return kErrAlreadyInitialized;
    }
    const int device = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (device < 0) {
        return Code(errno);
    }
    // Two locks, because neither covers every other program: flock keeps out everyone who
    // also takes it, TIOCEXCL refuses any later open of the tty (except by root). Between
    // open() and these calls another program can still open the device; that window is
    // unavoidable on Linux, and whoever gets the flock second gives way.
    if (flock(device, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(device);
        return Code(error);
    }
    if (int error = serial::SetExclusive(device, true); error != 0) {
        close(device);
        return Code(error);
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
        return Code(error);
    }
    m_impl->fd = device;
    m_impl->readWake = readWake;
    m_impl->closeWake = closeWake;
    m_impl->readMode = kReadTimed;
    m_impl->writeTotal.reset();
    m_impl->commMask = 0;
    m_impl->eventMask = 0xFFFFFFFF;
    m_impl->eventChar = 0;
    m_impl->Forget();
    m_impl->byteTime = nanoseconds::zero();
    m_impl->expectedBurst = 0;
    m_impl->lowLatencySet = EnableLowLatency(device);
    m_impl->open = true;
    return kErrSuccess;
}

void CComPort::DeviceClose() {
    Impl& impl = *m_impl;
    // Transfers on other threads are woken and leave promptly; a descriptor another thread
    // still polls is never closed.
    impl.Close([&] { Signal(impl.closeWake); },
               [&] {
                   Impl::Release(impl.fd, impl.lowLatencySet);
                   impl.lowLatencySet = false;
                   close(impl.readWake);
                   close(impl.closeWake);
                   impl.fd = impl.readWake = impl.closeWake = -1;
               });
}

bool CComPort::DeviceIsOpen() const {
    return m_impl->open;
}

uint32_t CComPort::DeviceSetup(uint32_t baudRate, uint8_t dataBits, uint8_t parity,
                               uint8_t stopBits) {
    Impl::Ticket ticket;
    {
        std::lock_guard lock(m_impl->mutex);
        if (!m_impl->Usable()) {
            return kErrInvalidHandle;
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
    return result;
}

uint32_t CComPort::DeviceSetupHandshaking(uint32_t mode) {
    return m_impl->Locked([&] {
        termios2 settings{};
        if (int error = serial::GetDeviceTermios(m_impl->fd, settings); error != 0) {
            return Code(error);
        }
        if (!serial::ApplyHandshaking(settings, mode)) {
            return kErrInvalidArg;
        }
        if (int error = serial::SetDeviceTermios(m_impl->fd, settings); error != 0) {
            return Code(error);
        }
        // DTR and RTS active for hardware handshaking, held inactive otherwise, as far as
        // the device has modem lines (a pseudo-terminal has none and refuses).
        serial::SetDtrRts(m_impl->fd, mode == kHandshakeHardware);
        return kErrSuccess;
    });
}

uint32_t CComPort::DeviceSetupReadTimeouts(uint32_t mode) {
    return m_impl->Locked([&] {
        if (mode != kReadNonBlocking && mode != kReadTimed) {
            return kErrInvalidArg;
        }
        m_impl->readMode = mode;
        if (mode == kReadTimed) {
            m_impl->writeTotal = kWriteTotalTimed;
        }
        return kErrSuccess;
    });
}

uint32_t CComPort::DeviceSetMask(uint32_t mask) {
    return m_impl->Locked([&] {
        m_impl->commMask = mask;
        return kErrSuccess;
    });
}

uint32_t CComPort::DeviceSetEventChar(uint8_t eventChar, bool addRxFlagEvent) {
    const uint32_t result = m_impl->Locked([&] {
        m_impl->eventChar = eventChar;
        return kErrSuccess;
    });
    if (result == kErrSuccess && addRxFlagEvent) {
        return SetMask(GetMask() | kEvRxFlag);
    }
    return result;
}

uint32_t CComPort::DeviceGetMask(uint32_t& mask) {
    return m_impl->Locked([&] {
        mask = m_impl->commMask;
        return kErrSuccess;
    });
}

uint32_t CComPort::DeviceGetEventChar(uint8_t& eventChar) {
    return m_impl->Locked([&] {
        eventChar = m_impl->eventChar;
        return kErrSuccess;
    });
}

uint32_t CComPort::DeviceLineState(LineState& state) {
    return m_impl->Locked([&] {
        termios2 settings{};
        if (int error = serial::GetDeviceTermios(m_impl->fd, settings); error != 0) {
            return Code(error);
        }
        const serial::LineSettings line = serial::ReadLineSettings(settings);
        state = {static_cast<int32_t>(line.baudRate), line.dataBits, line.parity, line.stopBits,
                 serial::HandshakingOf(settings)};
        return kErrSuccess;
    });
}

}  // namespace tarvik
