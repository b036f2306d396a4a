// The bookkeeping of transfers that both platforms' ports keep alike: whether a device is
// held, how many transfers run outside the lock (Close closes nothing another thread still
// waits on), the count of a Write's purges (a Read compares it to see its own abort), a
// CancelRead that found no Read to end, and the bytes a Read whose caller's time-out ran out
// took in (first for the next Read); and the decisions made on them alike: whether a call may
// begin, how Close lets the device go. Each platform's CComPort::Impl is one, and adds its
// device and its wake-ups.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "serial/com_port.h"

namespace tarvik::serial {

// Result of one transfer: error code and byte count.
struct Outcome {
    uint32_t code = kErrSuccess;
    uint32_t count = 0;
    // Turned away before it began (no device, no buffer): the caller's record stays untouched.
    bool refused = false;
};

inline Outcome Refused(uint32_t code) {
    return {code, 0, true};
}

struct TransferBook {
    // Bytes a timed-out Read keeps; room for one chunk of the reader, grows only if a caller
    // reads more at once.
    static constexpr size_t kCarryReserve = 4096;

    std::mutex mutex;
    std::condition_variable idle;  // inFlight dropped to 0, or a Close finished
    int inFlight = 0;              // transfers running outside the lock
    bool closing = false;
    uint64_t purges = 0;         // count of Write purges
    bool cancelPending = false;  // CancelRead came: the Read in progress, or the next, ends
    std::vector<uint8_t> carry;  // bytes a timed-out Read took in; first for the next Read
    // The port holds a device: set and cleared under the lock together with the device, read
    // without it by IsOpen.
    std::atomic<bool> open{false};

    TransferBook() { carry.reserve(kCarryReserve); }

    // Under the lock: the port holds a device and no Close is under way.
    bool Usable() const { return open && !closing; }

    // Under the lock: why a transfer of `length` bytes at `bytes` cannot begin (no device, or
    // no buffer for the bytes), else kErrSuccess.
    uint32_t Refusal(const void* bytes, uint32_t length) const {
        if (!Usable()) {
            return kErrInvalidHandle;
        }
        if (bytes == nullptr && length > 0) {
            return kErrBadArgument;
        }
        return kErrSuccess;
    }

    // A transfer of `length` bytes at `bytes` (none for a wait for events). Under the lock it
    // is refused (Refusal), or `begin(ended)` begins it: it returns the transfer's ticket
    // (entered), or nothing when the transfer ended at once with the outcome it left in
    // `ended`. Then `run(ticket)` carries it out outside the lock, and it leaves the device.
    template <typename Begin, typename Run>
    Outcome Transfer(const void* bytes, uint32_t length, Begin begin, Run run) {
        std::unique_lock lock(mutex);
        if (const uint32_t refusal = Refusal(bytes, length); refusal != kErrSuccess) {
            return Refused(refusal);
        }
        Outcome ended;
        const auto ticket = begin(ended);
        if (!ticket) {
            return ended;
        }
        lock.unlock();
        const Outcome outcome = run(*ticket);
        Leave();
        return outcome;
    }

    // Runs `step` under the lock on a usable port and returns its code; kErrInvalidHandle
    // without a device.
    template <typename Step>
    uint32_t Locked(Step step) {
        std::lock_guard lock(mutex);
        return Usable() ? step() : kErrInvalidHandle;
    }

    // A transfer has left the device (takes the lock).
    void Leave() {
        std::lock_guard lock(mutex);
        if (--inFlight == 0) {
            idle.notify_all();
        }
    }

    // Close: waits, holding `lock` otherwise, until no transfer is left on the device.
    void AwaitIdle(std::unique_lock<std::mutex>& lock) {
        idle.wait(lock, [this] { return inFlight == 0; });
    }

    // Whether a Write has purged the line since `mark` (a transfer's purge count at its start).
    bool PurgedSince(uint64_t mark) {
        std::lock_guard lock(mutex);
        return purges != mark;
    }

    // Keeps the bytes of a Read whose caller's time-out ran out, unless a purge came since
    // `mark`: they come first from the next Read.
    void Keep(uint64_t mark, const uint8_t* bytes, uint32_t got) {
        std::lock_guard lock(mutex);
        if (purges == mark && got > 0) {
            carry.insert(carry.begin(), bytes, bytes + got);
        }
    }

    // Under the lock: moves up to `length` kept bytes to `bytes`; returns how many.
    uint32_t TakeKept(uint8_t* bytes, uint32_t length) {
        const auto got = static_cast<uint32_t>(std::min<size_t>(carry.size(), length));
        std::copy_n(carry.begin(), got, bytes);
        carry.erase(carry.begin(), carry.begin() + got);
        return got;
    }

    // Under the lock: a Write's purge discards what was kept and ends Reads begun before it.
    void Purge() {
        carry.clear();
        ++purges;
    }

    // Under the lock: nothing kept and no cancel left over from an earlier opening.
    void Forget() {
        carry.clear();
        cancelPending = false;
    }

    // Close: `wakeAll` wakes every transfer waiting on the device, `release` lets it go. A
    // Close that finds another under way waits until that one is done; the device is let go
    // only once no transfer is left on it, never while another thread still waits on it.
    template <typename WakeAll, typename Release>
    void Close(WakeAll wakeAll, Release release) {
        std::unique_lock lock(mutex);
        if (!open) {
            return;
        }
        if (closing) {
            idle.wait(lock, [this] { return !open; });
            return;
        }
        closing = true;
        wakeAll();
        AwaitIdle(lock);
        release();
        Forget();
        closing = false;
        open = false;
        idle.notify_all();
    }
};

}  // namespace tarvik::serial
