// What the port's desktop twins (Linux, Windows) decide alike: each operation goes to the
// network line when the port stands on one (com_port_net.cpp), else to the platform's device
// (CComPort::Device*); the result is recorded as the last error, and a transfer's is handed
// to the caller's count and record. The twins hold only what touches their device.
#include <chrono>
#include <optional>
#include <string>

#include "serial/com_names.h"
#include "serial/com_port.h"
#include "serial/net_line.h"
#include "serial/net_socket.h"
#include "serial/transfer_book.h"

namespace tarvik {
namespace {

using Clock = std::chrono::steady_clock;
using serial::Outcome;
using std::chrono::milliseconds;

// Hands a finished transfer to the caller's count and record; one turned away before it
// began leaves the record untouched.
void Deliver(const Outcome& outcome, uint32_t* countOut, ComOverlapped* overlapped) {
    if (countOut != nullptr) {
        *countOut = outcome.count;
    }
    if (overlapped != nullptr && !outcome.refused) {
        overlapped->count = outcome.count;
        overlapped->error = outcome.code;
        net::SignalCompletion(overlapped->event);
    }
}

}  // namespace

uint32_t CComPort::Open(const char* deviceName, uint32_t inQueueSize, uint32_t outQueueSize) {
    if (const std::optional<uint32_t> opened = OpenNet(deviceName)) {
        return *opened;
    }
    m_lastError = kErrSuccess;
    if (deviceName == nullptr) {
        return m_lastError = DeviceIsOpen() ? kErrAlreadyInitialized : kErrBadArgument;
    }
    const std::optional<std::string> path = ResolveDeviceName(deviceName);
    if (!path) {
        return m_lastError = DeviceIsOpen() ? kErrAlreadyInitialized : kErrNoDevice;
    }
    if (const uint32_t opened = DeviceOpen(*path, inQueueSize, outQueueSize);
        opened != kErrSuccess) {
        return m_lastError = opened;
    }
    return ApplyOpenDefaults();
}

uint32_t CComPort::Close() {
    if (Net() != nullptr) {
        return NetClose();
    }
    m_lastError = kErrSuccess;
    DeviceClose();
    return kErrSuccess;
}

bool CComPort::IsOpen() const {
    if (const net::NetLine* net = Net()) {
        return net->IsOpen();
    }
    return DeviceIsOpen();
}

uint32_t CComPort::Setup(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits) {
    if (Net() != nullptr) {
        return NetSetup(baudRate, dataBits, parity, stopBits);
    }
    m_lastError = kErrSuccess;
    return m_lastError = DeviceSetup(baudRate, dataBits, parity, stopBits);
}

uint32_t CComPort::SetupHandshaking(uint32_t mode) {
    if (Net() != nullptr) {
        return NetSetupHandshaking(mode);
    }
    m_lastError = kErrSuccess;
    return m_lastError = DeviceSetupHandshaking(mode);
}

uint32_t CComPort::SetupReadTimeouts(uint32_t mode, uint32_t /*ignored*/) {
    if (Net() != nullptr) {
        return NetSetupReadTimeouts(mode);
    }
    m_lastError = kErrSuccess;
    return m_lastError = DeviceSetupReadTimeouts(mode);
}

uint32_t CComPort::SetMask(uint32_t mask) {
    if (Net() != nullptr) {
        return NetSetMask(mask);
    }
    m_lastError = kErrSuccess;
    return m_lastError = DeviceSetMask(mask);
}

uint32_t CComPort::SetEventChar(uint8_t eventChar, bool addRxFlagEvent) {
    if (Net() != nullptr) {
        return NetSetEventChar(eventChar, addRxFlagEvent);
    }
    m_lastError = kErrSuccess;
    return m_lastError = DeviceSetEventChar(eventChar, addRxFlagEvent);
}

uint32_t CComPort::GetMask() {
    if (Net() != nullptr) {
        return NetGetMask();
    }
    m_lastError = kErrSuccess;
    uint32_t mask = 0;
    const uint32_t code = DeviceGetMask(mask);
    m_lastError = code;
    return code == kErrSuccess ? mask : 0;
}

uint8_t CComPort::GetEventChar() {
    if (Net() != nullptr) {
        return NetGetEventChar();
    }
    m_lastError = kErrSuccess;
    uint8_t eventChar = 0;
    const uint32_t code = DeviceGetEventChar(eventChar);
    m_lastError = code;
    return code == kErrSuccess ? eventChar : 0;
}

int32_t CComPort::GetSetting(int32_t LineState::*field) {
    m_lastError = kErrSuccess;
    LineState state;
    const uint32_t code = Net() != nullptr ? NetLineState(state) : DeviceLineState(state);
    m_lastError = code;
    return code == kErrSuccess ? state.*field : -1;
}

int32_t CComPort::GetBaudRate() {
    return GetSetting(&LineState::baudRate);
}

int32_t CComPort::GetDataBits() {
    return GetSetting(&LineState::dataBits);
}

int32_t CComPort::GetParity() {
    return GetSetting(&LineState::parity);
}

int32_t CComPort::GetStopBits() {
    return GetSetting(&LineState::stopBits);
}

int32_t CComPort::GetHandshaking() {
    return GetSetting(&LineState::handshaking);
}

uint32_t CComPort::Read(void* buffer, uint32_t length, uint32_t* countOut,
                        ComOverlapped* overlapped, uint32_t timeoutMs) {
    if (Net() != nullptr) {
        return NetRead(buffer, length, countOut, overlapped, timeoutMs);
    }
    if (countOut != nullptr) {
        *countOut = 0;
    }
    m_lastError = kErrSuccess;
    const Outcome outcome =
        DeviceRead(static_cast<uint8_t*>(buffer), length, Clock::now(), milliseconds(timeoutMs));
    Deliver(outcome, countOut, overlapped);
    return m_lastError = outcome.code;
}

uint32_t CComPort::Write(const void* bytes, uint32_t length, uint32_t* countOut,
                         ComOverlapped* overlapped, uint32_t timeoutMs) {
    if (Net() != nullptr) {
        return NetWrite(bytes, length, countOut, overlapped);
    }
    if (countOut != nullptr) {
        *countOut = 0;
    }
    m_lastError = kErrSuccess;
    const Outcome outcome = DeviceWrite(static_cast<const uint8_t*>(bytes), length, Clock::now(),
                                        milliseconds(timeoutMs));
    Deliver(outcome, countOut, overlapped);
    return m_lastError = outcome.code;
}

uint32_t CComPort::WaitEvent(ComOverlapped* overlapped, uint32_t timeoutMs) {
    if (Net() != nullptr) {
        return NetWaitEvent(overlapped, timeoutMs);
    }
    m_lastError = kErrSuccess;
    const Outcome outcome = DeviceWaitEvent(Clock::now(), milliseconds(timeoutMs));
    Deliver({outcome.code, 0, outcome.refused}, nullptr, overlapped);
    return m_lastError = outcome.code;
}

uint32_t CComPort::ExpectBurst(uint32_t bytes) {
    if (Net() != nullptr) {
        return NetExpectBurst();
    }
    m_lastError = kErrSuccess;
    return m_lastError = DeviceExpectBurst(bytes);
}

uint32_t CComPort::CancelRead() {
    if (Net() != nullptr) {
        return NetCancelRead();
    }
    m_lastError = kErrSuccess;
    return m_lastError = DeviceCancelRead();
}

}  // namespace tarvik
