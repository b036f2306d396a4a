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

// The device's termios2 for a getter, or nothing with the error recorded.
std::optional<termios2> CComPort::Impl::ReadSettings(std::atomic<uint32_t>& lastError) {
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

uint32_t CComPort::Open(const char* deviceName, uint32_t /*inQueueSize*/,
                        uint32_t /*outQueueSize*/) {
    if (const std::optional<uint32_t> opened = OpenNet(deviceName)) {
        return *opened;
    }
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
        m_impl->Forget();
        m_impl->byteTime = nanoseconds::zero();
        m_impl->expectedBurst = 0;
        m_impl->lowLatencySet = EnableLowLatency(device);
        m_impl->open = true;
    }
    return ApplyOpenDefaults();
}

uint32_t CComPort::Close() {
    if (Net() != nullptr) {
        return NetClose();
    }
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
    m_impl->AwaitIdle(lock);
    Impl::Release(m_impl->fd, m_impl->lowLatencySet);
    m_impl->lowLatencySet = false;
    close(m_impl->readWake);
    close(m_impl->closeWake);
    m_impl->fd = m_impl->readWake = m_impl->closeWake = -1;
    m_impl->Forget();
    m_impl->closing = false;
    m_impl->open = false;
    m_impl->idle.notify_all();
    return kErrSuccess;
}

bool CComPort::IsOpen() const {
    if (const net::NetLine* net = Net()) {
        return net->IsOpen();
    }
    return m_impl->open;
}

uint32_t CComPort::Setup(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits) {
    if (Net() != nullptr) {
        return NetSetup(baudRate, dataBits, parity, stopBits);
    }
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
    if (Net() != nullptr) {
        return NetSetupHandshaking(mode);
    }
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
    if (Net() != nullptr) {
        return NetSetupReadTimeouts(mode);
    }
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
    if (Net() != nullptr) {
        return NetSetMask(mask);
    }
    m_lastError = kErrSuccess;
    std::lock_guard lock(m_impl->mutex);
    if (!m_impl->Usable()) {
        return m_lastError = kErrInvalidHandle;
    }
    m_impl->commMask = mask;
    return kErrSuccess;
}

uint32_t CComPort::SetEventChar(uint8_t eventChar, bool addRxFlagEvent) {
    if (Net() != nullptr) {
        return NetSetEventChar(eventChar, addRxFlagEvent);
    }
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
    if (Net() != nullptr) {
        return NetGetMask();
    }
    m_lastError = kErrSuccess;
    std::lock_guard lock(m_impl->mutex);
    if (!m_impl->Usable()) {
        m_lastError = kErrInvalidHandle;
        return 0;
    }
    return m_impl->commMask;
}

uint8_t CComPort::GetEventChar() {
    if (Net() != nullptr) {
        return NetGetEventChar();
    }
    m_lastError = kErrSuccess;
    std::lock_guard lock(m_impl->mutex);
    if (!m_impl->Usable()) {
        m_lastError = kErrInvalidHandle;
        return 0;
    }
    return m_impl->eventChar;
}

int32_t CComPort::GetBaudRate() {
    if (Net() != nullptr) {
        return NetGet(NetField::kBaudRate);
    }
    auto settings = m_impl->ReadSettings(m_lastError);
    return settings ? static_cast<int32_t>(serial::ReadLineSettings(*settings).baudRate) : -1;
}

int32_t CComPort::GetDataBits() {
    if (Net() != nullptr) {
        return NetGet(NetField::kDataBits);
    }
    auto settings = m_impl->ReadSettings(m_lastError);
    return settings ? serial::ReadLineSettings(*settings).dataBits : -1;
}

int32_t CComPort::GetParity() {
    if (Net() != nullptr) {
        return NetGet(NetField::kParity);
    }
    auto settings = m_impl->ReadSettings(m_lastError);
    return settings ? serial::ReadLineSettings(*settings).parity : -1;
}

int32_t CComPort::GetStopBits() {
    if (Net() != nullptr) {
        return NetGet(NetField::kStopBits);
    }
    auto settings = m_impl->ReadSettings(m_lastError);
    return settings ? serial::ReadLineSettings(*settings).stopBits : -1;
}

int32_t CComPort::GetHandshaking() {
    if (Net() != nullptr) {
        return NetGet(NetField::kHandshaking);
    }
    auto settings = m_impl->ReadSettings(m_lastError);
    return settings ? serial::HandshakingOf(*settings) : -1;
}

}  // namespace tarvik
