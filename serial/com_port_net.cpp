// The port on a network line: every operation of a port opened on a network address goes to
// its net::NetLine, the same on every platform. com_port_desktop.cpp hands over to these at
// the top of each operation.
#include <utility>

#include "serial/com_names.h"
#include "serial/com_port.h"
#include "serial/net_line.h"

namespace tarvik {
namespace {

void Complete(ComOverlapped* overlapped, uint32_t code, uint32_t count) {
    if (overlapped != nullptr) {
        overlapped->count = count;
        overlapped->error = code;
        net::SignalCompletion(overlapped->event);
    }
}

}  // namespace

void CComPort::NetLineDeleter::operator()(net::NetLine* line) const {
    delete line;
}

bool CComPort::RateFixed() const {
    const net::NetLine* net = Net();
    return net != nullptr && net->IsOpen() && net->RateFixed();
}

std::optional<uint32_t> CComPort::OpenNet(const char* name) {
    if (name == nullptr) {
        return std::nullopt;
    }
    const std::optional<std::string> target = ResolveDeviceName(name);
    if (!target || !net::IsNetworkName(*target)) {
        if (IsOpen()) {
            return m_lastError = kErrAlreadyInitialized;
        }
        // A device from now on: Open is called before any other thread uses the port.
        m_onNet = false;
        return std::nullopt;
    }
    m_lastError = kErrSuccess;
    if (IsOpen()) {
        return m_lastError = kErrAlreadyInitialized;
    }
    const std::optional<net::NetAddress> address = net::ParseNetAddress(*target);
    if (!address) {
        return m_lastError = kErrBadArgument;
    }
    if (!m_net) {
        m_net.reset(new net::NetLine);
    }
    m_onNet = true;
    {
        std::lock_guard lock(m_netMutex);
        m_netPresets = NetPresets{};
    }
    if (const uint32_t opened = m_net->Open(*address); opened != kErrSuccess) {
        return m_lastError = opened;
    }
    return ApplyOpenDefaults();
}

uint32_t CComPort::NetClose() {
    m_lastError = kErrSuccess;
    return m_net->Close();
}

uint32_t CComPort::NetSetup(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits) {
    return m_lastError = m_net->Setup(baudRate, dataBits, parity, stopBits);
}

uint32_t CComPort::NetSetEventChar(uint8_t eventChar, bool addRxFlagEvent) {
    if (!m_net->IsOpen()) {
        return m_lastError = kErrInvalidHandle;
    }
    std::lock_guard lock(m_netMutex);
    m_netPresets.eventChar = eventChar;
    if (addRxFlagEvent) {
        m_netPresets.commMask |= kEvRxFlag;
    }
    return m_lastError = kErrSuccess;
}

uint32_t CComPort::NetSetMask(uint32_t mask) {
    if (!m_net->IsOpen()) {
        return m_lastError = kErrInvalidHandle;
    }
    std::lock_guard lock(m_netMutex);
    m_netPresets.commMask = mask;
    return m_lastError = kErrSuccess;
}

uint32_t CComPort::NetWaitEvent(ComOverlapped* overlapped, uint32_t timeoutMs) {
    uint32_t mask = 0;
    {
        std::lock_guard lock(m_netMutex);
        mask = m_netPresets.commMask;
    }
    // Only received bytes can be reported: without kEvRxChar the time-out is waited out.
    const uint32_t code =
        m_net->WaitForBytes(std::chrono::milliseconds(timeoutMs), (mask & kEvRxChar) != 0);
    Complete(overlapped, code, 0);
    return m_lastError = code;
}

uint32_t CComPort::NetSetupHandshaking(uint32_t mode) {
    if (!m_net->IsOpen()) {
        return m_lastError = kErrInvalidHandle;
    }
    if (mode != kHandshakeOff && mode != kHandshakeHardware && mode != kHandshakeSoftware) {
        return m_lastError = kErrInvalidArg;
    }
    // Flow control is the server's port's own: only remembered.
    std::lock_guard lock(m_netMutex);
    m_netPresets.handshaking = mode;
    return m_lastError = kErrSuccess;
}

uint32_t CComPort::NetSetupReadTimeouts(uint32_t mode) {
    if (!m_net->IsOpen()) {
        return m_lastError = kErrInvalidHandle;
    }
    if (mode != kReadNonBlocking && mode != kReadTimed) {
        return m_lastError = kErrInvalidArg;
    }
    std::lock_guard lock(m_netMutex);
    m_netPresets.readMode = mode;
    return m_lastError = kErrSuccess;
}

uint32_t CComPort::NetLineState(LineState& state) {
    if (!m_net->IsOpen()) {
        return kErrInvalidHandle;
    }
    const net::NetSettings settings = m_net->Settings();
    std::lock_guard lock(m_netMutex);
    state = {static_cast<int32_t>(settings.baudRate), settings.dataBits, settings.parity,
             settings.stopBits, static_cast<int32_t>(m_netPresets.handshaking)};
    return kErrSuccess;
}

uint32_t CComPort::NetGetMask() {
    if (!m_net->IsOpen()) {
        m_lastError = kErrInvalidHandle;
        return 0;
    }
    m_lastError = kErrSuccess;
    std::lock_guard lock(m_netMutex);
    return m_netPresets.commMask;
}

uint8_t CComPort::NetGetEventChar() {
    if (!m_net->IsOpen()) {
        m_lastError = kErrInvalidHandle;
        return 0;
    }
    m_lastError = kErrSuccess;
    std::lock_guard lock(m_netMutex);
    return m_netPresets.eventChar;
}

uint32_t CComPort::NetWrite(const void* bytes, uint32_t length, uint32_t* countOut,
                            ComOverlapped* overlapped) {
    uint32_t count = 0;
    uint32_t code = kErrSuccess;
    if (bytes == nullptr && length > 0) {
        code = m_net->IsOpen() ? kErrBadArgument : kErrInvalidHandle;
    } else {
        code = m_net->Write(static_cast<const uint8_t*>(bytes), length, count);
    }
    if (countOut != nullptr) {
        *countOut = count;
    }
    if (code != kErrInvalidHandle) {
        Complete(overlapped, code, count);
    }
    return m_lastError = code;
}

uint32_t CComPort::NetRead(void* buffer, uint32_t length, uint32_t* countOut,
                           ComOverlapped* overlapped, uint32_t timeoutMs) {
    uint32_t count = 0;
    uint32_t code = kErrSuccess;
    if (buffer == nullptr && length > 0) {
        code = m_net->IsOpen() ? kErrBadArgument : kErrInvalidHandle;
    } else {
        uint32_t mode = kReadTimed;
        {
            std::lock_guard lock(m_netMutex);
            mode = m_netPresets.readMode;
        }
        code = m_net->Read(static_cast<uint8_t*>(buffer), length, count,
                           std::chrono::milliseconds(timeoutMs), mode);
    }
    if (countOut != nullptr) {
        *countOut = count;
    }
    if (code != kErrInvalidHandle) {
        Complete(overlapped, code, count);
    }
    return m_lastError = code;
}

uint32_t CComPort::NetExpectBurst() {
    // Bytes come off the network in the segments the server sent: there is no byte-by-byte
    // waking to spare.
    return m_lastError = m_net->IsOpen() ? kErrSuccess : kErrInvalidHandle;
}

uint32_t CComPort::NetCancelRead() {
    return m_lastError = m_net->CancelRead();
}

}  // namespace tarvik
