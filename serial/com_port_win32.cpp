// CComPort over the Win32 serial interface: overlapped transfers on \\.\COMn, DCB line
// settings, COMMTIMEOUTS presets, PurgeComm before every write.
//
// Each transfer waits on its own event together with the close event, so a Close from the
// other thread ends it at once; it is cancelled with CancelIoEx on its own record (CancelIo
// would reach only the calling thread's transfers, and Wine ignores PURGE_RXABORT for another
// thread's read), and the record is never left while the system may still write to it.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "serial/com_names.h"
#include "serial/com_port.h"
#include "serial/comm_records_win32.h"
#include "serial/net_line.h"
#include "serial/read_issue_hook_win32.h"
#include "serial/transfer_book.h"
#include "serial/wide_text.h"

namespace tarvik {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The longest single wait; INFINITE itself would mean no bound.
constexpr DWORD kLongestWaitMs = INFINITE - 1;

using serial::Outcome;

DWORD WaitMs(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
    return static_cast<DWORD>(std::clamp<long long>(left, 0, kLongestWaitMs));
}

HANDLE NewEvent(bool manualReset) {
    return CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
}

void CloseIfSet(HANDLE& handle) {
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

// Ends a transfer still in progress on `overlapped` and waits until the system is done with
// the record; `count` receives what it had transferred.
void CancelAndSettle(HANDLE port, OVERLAPPED& overlapped, DWORD& count) {
    CancelIoEx(port, &overlapped);
    GetOverlappedResult(port, &overlapped, &count, TRUE);
}

uint32_t LastCode() {
    return static_cast<uint32_t>(GetLastError());
}

std::atomic<serial::ReadIssueHook> g_readIssueHook{nullptr};

}  // namespace

namespace serial {

void SetReadIssueHook(ReadIssueHook hook) {
    g_readIssueHook.store(hook);
}

}  // namespace serial

struct CComPort::Impl : serial::TransferBook {
    // The device and its events, set while port != nullptr. Closed only by Close, and only
    // once no transfer (inFlight) uses them.
    HANDLE port = nullptr;
    HANDLE readEvent = nullptr;   // Read's and WaitEvent's record
    HANDLE writeEvent = nullptr;  // Write's record
    HANDLE closeEvent = nullptr;  // manual reset: Close ends every wait in progress
    HANDLE purgeEvent = nullptr;  // auto reset: a Write's purge ends a failed Read's pause
    // CancelRead cancels the read in progress on its own record; with none in progress
    // (cancelPending), the next Read ends at once.
    OVERLAPPED* pendingRead = nullptr;

    struct Ticket {
        HANDLE port = nullptr;
        HANDLE readEvent = nullptr;
        HANDLE writeEvent = nullptr;
        HANDLE closeEvent = nullptr;
        HANDLE purgeEvent = nullptr;
        uint64_t purges = 0;
    };
    // Under the lock.
    Ticket Enter() {
        ++inFlight;
        return Ticket{port, readEvent, writeEvent, closeEvent, purgeEvent, purges};
    }

    // A transfer that failed at once (the device has gone: Wine reports 109 for a
    // pseudo-terminal whose other side closed, Windows other codes for a pulled adapter)
    // still takes the caller's time-out, so that a reader loop does not spin on it. Close
    // or a Write's purge ends the pause early.
    Outcome Pause(const Ticket& t, uint32_t failure, Clock::time_point deadline) {
        const HANDLE handles[] = {t.closeEvent, t.purgeEvent};
        for (;;) {
            switch (WaitForMultipleObjects(2, handles, FALSE, WaitMs(deadline))) {
                case WAIT_OBJECT_0:
                    return {kErrCancelled, 0};
                case WAIT_OBJECT_0 + 1:
                    if (PurgedSince(t.purges)) {
                        return {kErrCancelled, 0};
                    }
                    continue;  // a purge from before this transfer began
                case WAIT_TIMEOUT:
                    return {failure, 0};
                default:
                    return {static_cast<uint32_t>(GetLastError()), 0};
            }
        }
    }

    // Waits for a started transfer on `overlapped` (event `own`) until `deadline` or Close.
    // `timedOut` tells the caller's time-out from the other ends.
    Outcome Await(const Ticket& t, OVERLAPPED& overlapped, Clock::time_point deadline,
                  bool& timedOut) {
        timedOut = false;
        DWORD count = 0;
        const HANDLE handles[] = {overlapped.hEvent, t.closeEvent};
        switch (WaitForMultipleObjects(2, handles, FALSE, WaitMs(deadline))) {
            case WAIT_OBJECT_0: {
                if (GetOverlappedResult(t.port, &overlapped, &count, FALSE)) {
                    return {kErrSuccess, count};
                }
                const DWORD error = GetLastError();
                // The device's own time-out: Windows reports success with what came, Wine
                // ERROR_TIMEOUT; both mean the same here.
                if (error == ERROR_TIMEOUT) {
                    return {kErrSuccess, count};
                }
                return {static_cast<uint32_t>(error), count};
            }
            case WAIT_OBJECT_0 + 1:
                CancelAndSettle(t.port, overlapped, count);
                return {kErrCancelled, count};
            case WAIT_TIMEOUT:
                CancelAndSettle(t.port, overlapped, count);
                timedOut = true;
                return {kErrTimeout, count};
            default: {
                const DWORD error = GetLastError();
                CancelAndSettle(t.port, overlapped, count);
                return {static_cast<uint32_t>(error), 0};
            }
        }
    }

    // Whether the read of ticket `t` is to end before or as soon as it is issued: a
    // CancelRead, or a Write's purge since the read began, whose own cancel may have come
    // before there was anything to cancel. Under the lock.
    bool ReadCancelled(const Ticket& t) const { return cancelPending || purges != t.purges; }

    // A read that CancelRead can reach while it waits. A cancel cannot fall between
    // registering the read and issuing it: the read looks again before it issues and once
    // it has, and cancels itself when a cancel came meanwhile.
    Outcome ReadDevice(const Ticket& t, uint8_t* bytes, uint32_t length,
                       Clock::time_point deadline) {
        OVERLAPPED overlapped{};
        {
            std::lock_guard lock(mutex);
            if (std::exchange(cancelPending, false)) {
                return {kErrCancelled, 0};
            }
            pendingRead = &overlapped;
        }
        if (const serial::ReadIssueHook hook = g_readIssueHook.load(); hook != nullptr) {
            hook();
        }
        Outcome outcome{kErrCancelled, 0};
        bool cancelled = false;
        {
            std::lock_guard lock(mutex);
            cancelled = ReadCancelled(t);
        }
        if (!cancelled) {
            outcome = StartRead(t, overlapped, bytes, length, deadline);
        }
        std::lock_guard lock(mutex);
        pendingRead = nullptr;
        if (outcome.code == kErrCancelled || outcome.count > 0) {
            cancelPending = false;  // a cancel that came meanwhile has ended this read
        }
        return outcome;
    }

    Outcome StartRead(const Ticket& t, OVERLAPPED& overlapped, uint8_t* bytes, uint32_t length,
                      Clock::time_point deadline) {
        overlapped.hEvent = t.readEvent;
        ResetEvent(t.readEvent);
        DWORD count = 0;
        if (ReadFile(t.port, bytes, length, &count, &overlapped)) {
            return {kErrSuccess, count};
        }
        const DWORD error = GetLastError();
        if (error == ERROR_TIMEOUT) {
            return {kErrSuccess, 0};
        }
        if (error == ERROR_OPERATION_ABORTED) {
            return {kErrCancelled, 0};  // a Write's cancel came first: no device fault
        }
        if (error != ERROR_IO_PENDING) {
            return Pause(t, error, deadline);
        }
        {
            // A cancel that came between the look before issuing and the issue found nothing
            // to cancel yet: the read cancels itself.
            std::lock_guard lock(mutex);
            if (ReadCancelled(t)) {
                CancelIoEx(t.port, &overlapped);
            }
        }
        bool timedOut = false;
        Outcome outcome = Await(t, overlapped, deadline, timedOut);
        if (timedOut) {
            // Bytes the cancelled read had taken in come first from the next Read.
            Keep(t.purges, bytes, outcome.count);
            return {kErrTimeout, 0};
        }
        if (outcome.code == kErrSuccess) {
            return outcome;
        }
        if (outcome.count > 0) {
            return {kErrSuccess, outcome.count};  // cut short, but not empty
        }
        if (outcome.code == kErrCancelled || outcome.code == ERROR_OPERATION_ABORTED) {
            return {kErrCancelled, 0};
        }
        return Pause(t, outcome.code, deadline);
    }

    Outcome WriteDevice(const Ticket& t, const uint8_t* bytes, uint32_t length,
                        Clock::time_point deadline) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = t.writeEvent;
        ResetEvent(t.writeEvent);
        DWORD count = 0;
        if (WriteFile(t.port, bytes, length, &count, &overlapped)) {
            return {kErrSuccess, count};
        }
        const DWORD error = GetLastError();
        if (error == ERROR_TIMEOUT) {
            return {kErrSuccess, count};
        }
        if (error != ERROR_IO_PENDING) {
            // At once: a Write's time-out may be hours, a sender must learn of a vanished
            // device now.
            return {static_cast<uint32_t>(error), 0};
        }
        bool timedOut = false;
        const Outcome outcome = Await(t, overlapped, deadline, timedOut);
        return timedOut ? Outcome{kErrTimeout, 0} : outcome;
    }

    Outcome WaitForEvent(const Ticket& t, Clock::time_point deadline, DWORD& events) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = t.readEvent;
        ResetEvent(t.readEvent);
        if (WaitCommEvent(t.port, &events, &overlapped)) {
            return {kErrSuccess, 0};
        }
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            return Pause(t, error, deadline);
        }
        bool timedOut = false;
        const Outcome outcome = Await(t, overlapped, deadline, timedOut);
        return {outcome.code, 0};
    }

    // Under the lock: the device's DCB into `dcb`; the error code.
    uint32_t GetState(DCB& dcb) const {
        dcb = DCB{};
        dcb.DCBlength = sizeof dcb;
        return GetCommState(port, &dcb) ? kErrSuccess : LastCode();
    }

    // Read-modify-write of the DCB under the lock; `change` returns false to write nothing
    // and report kErrInvalidArg.
    template <typename Change>
    uint32_t ChangeState(Change change) {
        return Locked([&] {
            DCB dcb{};
            if (const uint32_t code = GetState(dcb); code != kErrSuccess) {
                return code;
            }
            if (!change(dcb)) {
                return kErrInvalidArg;
            }
            return SetCommState(port, &dcb) ? kErrSuccess : LastCode();
        });
    }

    void ReleaseAll() {
        CloseIfSet(readEvent);
        CloseIfSet(writeEvent);
        CloseIfSet(closeEvent);
        CloseIfSet(purgeEvent);
        CloseIfSet(port);
    }
};

CComPort::CComPort() : m_impl(new Impl) {}

CComPort::~CComPort() {
    Close();
    delete m_impl;
}

uint32_t CComPort::DeviceOpen(const std::string& path, uint32_t inQueueSize,
                              uint32_t outQueueSize) {
    std::lock_guard lock(m_impl->mutex);
    Impl& impl = *m_impl;
    if (impl.open) {
        return kErrAlreadyInitialized;
    }
    const serial::OpenParameters& p = serial::kPortOpenParameters;
    HANDLE device = CreateFileW(WideFromUtf8(path).c_str(), p.access, p.share, nullptr,
                                p.disposition, p.flags, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return LastCode();
    }
    impl.port = device;
    impl.readEvent = NewEvent(true);
    impl.writeEvent = NewEvent(true);
    impl.closeEvent = NewEvent(true);
    impl.purgeEvent = NewEvent(false);
    if (impl.readEvent == nullptr || impl.writeEvent == nullptr || impl.closeEvent == nullptr ||
        impl.purgeEvent == nullptr || !SetupComm(device, inQueueSize, outQueueSize)) {
        const uint32_t error = LastCode();
        impl.ReleaseAll();
        return error;
    }
    impl.Forget();
    impl.open = true;
    return kErrSuccess;
}

void CComPort::DeviceClose() {
    Impl& impl = *m_impl;
    // Transfers on other threads are woken and settle their records promptly; a handle
    // another thread still waits on is never closed.
    impl.Close(
        [&] {
            SetEvent(impl.closeEvent);
            CancelIoEx(impl.port, nullptr);
        },
        [&] {
            PurgeComm(impl.port, serial::kPurgeEverything);
            impl.ReleaseAll();
        });
}

bool CComPort::DeviceIsOpen() const {
    return m_impl->open;
}

uint32_t CComPort::DeviceSetup(uint32_t baudRate, uint8_t dataBits, uint8_t parity,
                               uint8_t stopBits) {
    return m_impl->ChangeState([&](DCB& dcb) {
        serial::ApplyLineSettings(dcb, baudRate, dataBits, parity, stopBits);
        return true;
    });
}

uint32_t CComPort::DeviceSetupHandshaking(uint32_t mode) {
    return m_impl->ChangeState([&](DCB& dcb) { return serial::ApplyHandshaking(dcb, mode); });
}

uint32_t CComPort::DeviceSetupReadTimeouts(uint32_t mode) {
    return m_impl->Locked([&] {
        COMMTIMEOUTS timeouts{};
        if (!GetCommTimeouts(m_impl->port, &timeouts)) {
            return LastCode();
        }
        if (!serial::ApplyReadTimeouts(timeouts, mode)) {
            return kErrInvalidArg;
        }
        return SetCommTimeouts(m_impl->port, &timeouts) ? kErrSuccess : LastCode();
    });
}

uint32_t CComPort::DeviceSetMask(uint32_t mask) {
    return m_impl->Locked(
        [&] { return SetCommMask(m_impl->port, mask) ? kErrSuccess : LastCode(); });
}

uint32_t CComPort::DeviceSetEventChar(uint8_t eventChar, bool addRxFlagEvent) {
    if (addRxFlagEvent) {
        const uint32_t mask = GetMask();
        if (m_lastError != kErrSuccess) {
            return m_lastError;
        }
        if (SetMask(mask | kEvRxFlag) != kErrSuccess) {
            return m_lastError;
        }
    }
    return m_impl->ChangeState([&](DCB& dcb) {
        dcb.EvtChar = static_cast<char>(eventChar);
        return true;
    });
}

uint32_t CComPort::DeviceGetMask(uint32_t& mask) {
    return m_impl->Locked([&] {
        DWORD events = 0;
        if (!GetCommMask(m_impl->port, &events)) {
            return LastCode();
        }
        mask = events;
        return kErrSuccess;
    });
}

uint32_t CComPort::DeviceGetEventChar(uint8_t& eventChar) {
    return m_impl->Locked([&] {
        DCB dcb{};
        const uint32_t code = m_impl->GetState(dcb);
        eventChar = static_cast<uint8_t>(dcb.EvtChar);
        return code;
    });
}

uint32_t CComPort::DeviceLineState(LineState& state) {
    return m_impl->Locked([&] {
        DCB dcb{};
        const uint32_t code = m_impl->GetState(dcb);
        state = {static_cast<int32_t>(dcb.BaudRate), dcb.ByteSize, serial::ParityOf(dcb),
                 dcb.StopBits, serial::HandshakingOf(dcb)};
        return code;
    });
}

Outcome CComPort::DeviceRead(uint8_t* bytes, uint32_t length, Clock::time_point start,
                             milliseconds timeout) {
    Impl& impl = *m_impl;
    return impl.Transfer(
        bytes, length,
        [&](Outcome& ended) -> std::optional<Impl::Ticket> {
            // Bytes a timed-out Read took in come first, on their own: they arrived before
            // this call, so the burst they belong to has already paused.
            if (!impl.carry.empty() && length > 0) {
                ended = {kErrSuccess, impl.TakeKept(bytes, length)};
                return std::nullopt;
            }
            return impl.Enter();
        },
        [&](const Impl::Ticket& t) { return impl.ReadDevice(t, bytes, length, start + timeout); });
}

// The driver's interval time-out already ends a read on the burst gap and completes it once:
// the caller is woken once per burst without an expectation.
uint32_t CComPort::DeviceExpectBurst(uint32_t /*bytes*/) {
    return m_impl->Locked([] { return kErrSuccess; });
}

uint32_t CComPort::DeviceCancelRead() {
    return m_impl->Locked([&] {
        m_impl->cancelPending = true;
        if (m_impl->pendingRead != nullptr) {
            // Its own record only: a write in progress on the other thread goes on.
            CancelIoEx(m_impl->port, m_impl->pendingRead);
        }
        return kErrSuccess;
    });
}

Outcome CComPort::DeviceWrite(const uint8_t* bytes, uint32_t length, Clock::time_point start,
                              milliseconds timeout) {
    // The purge comes first: input not yet read (also what a timed-out Read kept) and output
    // not yet sent are discarded, and a Read pending on the other thread ends (CancelIoEx:
    // the purge alone does not end another thread's read everywhere). Its result does not
    // matter: a device that cannot purge fails the write itself.
    const auto purgeAndEnter = [this](Outcome& /*ended*/) -> std::optional<Impl::Ticket> {
        PurgeComm(m_impl->port, serial::kPurgeEverything);
        CancelIoEx(m_impl->port, nullptr);
        m_impl->Purge();
        SetEvent(m_impl->purgeEvent);
        return m_impl->Enter();
    };
    const auto write = [&](const Impl::Ticket& t) {
        return m_impl->WriteDevice(t, bytes, length, start + timeout);
    };
    return m_impl->Transfer(bytes, length, purgeAndEnter, write);
}

Outcome CComPort::DeviceWaitEvent(Clock::time_point start, milliseconds timeout) {
    Impl& impl = *m_impl;
    return impl.Transfer(
        nullptr, 0, [&](Outcome& /*ended*/) -> std::optional<Impl::Ticket> { return impl.Enter(); },
        [&](const Impl::Ticket& t) {
            DWORD events = 0;
            return impl.WaitForEvent(t, start + timeout, events);
        });
}

}  // namespace tarvik
