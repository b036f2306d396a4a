// CComPort in the page (WebAssembly): the line is a Web Serial port, driven by the page's
// script (web/line.js, Module.tarvikLine). Web Serial is asynchronous and the page has one
// thread, so every operation here returns at once and the script carries it out in order:
// open, writes, a change of the line settings (Web Serial fixes them at opening: the port is
// closed and opened again), pauses and close. A failure of any of them comes back to the page
// as the line lost (web/page_main.cpp). Replies do not come through Read: the script hands
// every chunk the browser reads to the page as it arrives.
#include <emscripten.h>

#include "serial/com_port.h"
#include "serial/com_port_web.h"

namespace tarvik {

namespace {

constexpr uint8_t kWebDataBitsMin = 7;  // Web Serial opens with 7 or 8 data bits only
constexpr uint8_t kWebDataBitsMax = 8;

// A 'none'/'odd'/'even' parity and one or two stop bits are all Web Serial knows: mark and
// space parity and one and a half stop bits are refused, as a driver refuses a setting it
// lacks.
bool WebLineSupports(uint8_t dataBits, uint8_t parity, uint8_t stopBits) {
    return dataBits >= kWebDataBitsMin && dataBits <= kWebDataBitsMax &&
           (parity == kParityNone || parity == kParityOdd || parity == kParityEven) &&
           (stopBits == kStopBitsOne || stopBits == kStopBitsTwo);
}

}  // namespace

// clang-format off
EM_JS(int, web_line_has_port, (), { return Module.tarvikLine.hasPort() ? 1 : 0; });
EM_JS(void, web_line_open, (uint32_t baud, int dataBits, int parity, int stopBits), {
    Module.tarvikLine.open({baud, dataBits, parity, stopBits});
});
EM_JS(void, web_line_reopen, (uint32_t baud, int dataBits, int parity, int stopBits), {
    Module.tarvikLine.reopen({baud, dataBits, parity, stopBits});
});
EM_JS(void, web_line_write, (const uint8_t* bytes, uint32_t length), {
    Module.tarvikLine.write(HEAPU8.slice(bytes, bytes + length));
});
EM_JS(void, web_line_pause, (uint32_t ms), { Module.tarvikLine.pause(ms); });
EM_JS(void, web_line_close, (), { Module.tarvikLine.close(); });
// clang-format on

struct CComPort::Impl {
    bool open = false;
    bool lineStarted = false;  // the script was asked to open the port
    uint32_t baud = 0;
    uint8_t dataBits = 0;
    uint8_t parity = 0;
    uint8_t stopBits = 0;
    uint32_t handshake = kHandshakeOff;
    uint32_t readMode = kReadTimed;
    uint32_t mask = kDefaultEventMask;
    uint8_t eventChar = 0;
};

void PauseWebLine(std::chrono::milliseconds duration) {
    web_line_pause(static_cast<uint32_t>(duration.count()));
}

CComPort::CComPort() : m_impl(new Impl) {}

CComPort::~CComPort() {
    Close();
    delete m_impl;
}

uint32_t CComPort::Open(const char* deviceName, uint32_t, uint32_t) {
    if (m_impl->open) {
        return m_lastError = kErrAlreadyInitialized;
    }
    if (deviceName == nullptr) {
        return m_lastError = kErrBadArgument;
    }
    // The port is the one the operator granted the page; the name has no meaning here.
    if (web_line_has_port() == 0) {
        return m_lastError = kErrNoDevice;
    }
    m_impl->open = true;
    m_impl->lineStarted = false;
    const uint32_t result = ApplyOpenDefaults();
    if (result != kErrSuccess) {
        return result;
    }
    // Opened once, at the settings the defaults left.
    m_impl->lineStarted = true;
    web_line_open(m_impl->baud, m_impl->dataBits, m_impl->parity, m_impl->stopBits);
    return m_lastError = kErrSuccess;
}

uint32_t CComPort::Close() {
    if (!m_impl->open) {
        return m_lastError = kErrInvalidHandle;
    }
    m_impl->open = false;
    if (m_impl->lineStarted) {
        web_line_close();
    }
    m_impl->lineStarted = false;
    return m_lastError = kErrSuccess;
}

uint32_t CComPort::Setup(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits) {
    if (!m_impl->open) {
        return m_lastError = kErrInvalidHandle;
    }
    if (baudRate == 0 || !WebLineSupports(dataBits, parity, stopBits)) {
        return m_lastError = kErrBadArgument;
    }
    const bool same = baudRate == m_impl->baud && dataBits == m_impl->dataBits &&
                      parity == m_impl->parity && stopBits == m_impl->stopBits;
    m_impl->baud = baudRate;
    m_impl->dataBits = dataBits;
    m_impl->parity = parity;
    m_impl->stopBits = stopBits;
    // An open port's settings cannot change: the script closes and opens it again, after the
    // bytes written before (its operations run in order), as a driver applies a change.
    if (m_impl->lineStarted && !same) {
        web_line_reopen(baudRate, dataBits, parity, stopBits);
    }
    return m_lastError = kErrSuccess;
}

uint32_t CComPort::SetEventChar(uint8_t eventChar, bool) {
    if (!m_impl->open) {
        return m_lastError = kErrInvalidHandle;
    }
    m_impl->eventChar = eventChar;
    return m_lastError = kErrSuccess;
}

uint32_t CComPort::SetMask(uint32_t mask) {
    if (!m_impl->open) {
        return m_lastError = kErrInvalidHandle;
    }
    m_impl->mask = mask;
    return m_lastError = kErrSuccess;
}

uint32_t CComPort::WaitEvent(ComOverlapped*, uint32_t) {
    // The page never waits: received bytes come to it as events of the browser.
    return m_lastError = m_impl->open ? kErrTimeout : kErrInvalidHandle;
}

uint32_t CComPort::SetupHandshaking(uint32_t mode) {
    if (!m_impl->open) {
        return m_lastError = kErrInvalidHandle;
    }
    if (mode != kHandshakeOff && mode != kHandshakeHardware && mode != kHandshakeSoftware) {
        return m_lastError = kErrInvalidArg;
    }
    m_impl->handshake = mode;
    return m_lastError = kErrSuccess;
}

uint32_t CComPort::SetupReadTimeouts(uint32_t mode, uint32_t) {
    if (!m_impl->open) {
        return m_lastError = kErrInvalidHandle;
    }
    if (mode != kReadNonBlocking && mode != kReadTimed) {
        return m_lastError = kErrInvalidArg;
    }
    m_impl->readMode = mode;
    return m_lastError = kErrSuccess;
}

int32_t CComPort::GetBaudRate() {
    return static_cast<int32_t>(m_impl->baud);
}
int32_t CComPort::GetDataBits() {
    return m_impl->dataBits;
}
int32_t CComPort::GetParity() {
    return m_impl->parity;
}
int32_t CComPort::GetStopBits() {
    return m_impl->stopBits;
}
int32_t CComPort::GetHandshaking() {
    return static_cast<int32_t>(m_impl->handshake);
}
uint32_t CComPort::GetMask() {
    return m_impl->mask;
}
uint8_t CComPort::GetEventChar() {
    return m_impl->eventChar;
}

uint32_t CComPort::Write(const void* bytes, uint32_t length, uint32_t* countOut,
                         ComOverlapped* overlapped, uint32_t) {
    if (countOut != nullptr) {
        *countOut = 0;
    }
    if (!m_impl->open) {
        return m_lastError = kErrInvalidHandle;
    }
    if (bytes == nullptr && length != 0) {
        return m_lastError = kErrBadArgument;
    }
    // Queued: the browser sends it after what went before. A write that fails later loses
    // the line, which the page reports.
    web_line_write(static_cast<const uint8_t*>(bytes), length);
    if (countOut != nullptr) {
        *countOut = length;
    }
    if (overlapped != nullptr) {
        overlapped->count = length;
        overlapped->error = kErrSuccess;
    }
    return m_lastError = kErrSuccess;
}

uint32_t CComPort::Read(void*, uint32_t, uint32_t* countOut, ComOverlapped* overlapped, uint32_t) {
    // Nothing is read here: the browser delivers what arrives (see the top of this file).
    if (countOut != nullptr) {
        *countOut = 0;
    }
    if (overlapped != nullptr) {
        overlapped->count = 0;
        overlapped->error = kErrSuccess;
    }
    return m_lastError = m_impl->open ? kErrSuccess : kErrInvalidHandle;
}

uint32_t CComPort::ExpectBurst(uint32_t) {
    return m_lastError = kErrSuccess;
}

uint32_t CComPort::CancelRead() {
    return m_lastError = kErrSuccess;
}

bool CComPort::IsOpen() const {
    return m_impl->open;
}

// A page cannot open sockets: it never has a network line.
void CComPort::NetLineDeleter::operator()(net::NetLine*) const {}

bool CComPort::RateFixed() const {
    return false;
}

}  // namespace tarvik
