// The Linux port's own parts, shared by its files: opening and settings (com_port.cpp),
// reads and communications events (com_port_read.cpp), writes and drains
// (com_port_write.cpp). Only those files include it.
//
// Whoever includes this header must not include <termios.h> (see termios2.h).
#pragma once

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

#include "serial/com_port.h"
#include "serial/device_calls.h"
#include "serial/termios2.h"
#include "serial/transfer_book.h"

namespace tarvik {
namespace posix {

using Clock = std::chrono::steady_clock;
using serial::Outcome;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// How long a settings change waits for bytes already written to leave before it gives up
// (1460, nothing changed): as long as a timed write waits for its own bytes.
inline constexpr milliseconds kSettingsDrainLimit = kWriteTotalTimed;

inline constexpr uint64_t kWakeIncrement = 1;

inline uint32_t Code(int error) {
    return static_cast<uint32_t>(error);
}

inline timespec TimeLeft(Clock::time_point until) {
    const auto left = std::max(Clock::duration::zero(), until - Clock::now());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>(nanos.count())};
}

// Wakes whoever polls `eventFd` (an eventfd or a pipe's write end; -1: nobody).
inline void Signal(int eventFd) {
    if (eventFd >= 0) {
        // A full counter or a full pipe already wakes the waiter: the result does not matter.
        [[maybe_unused]] ssize_t n = write(eventFd, &kWakeIncrement, sizeof kWakeIncrement);
    }
}

inline void Drain(int eventFd) {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = read(eventFd, &value, sizeof value);
}

inline bool DeviceGone(short revents) {
    return (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

// What ended a wait on the device and the port's wake-up descriptors.
enum class Wake { kTime, kDevice, kPurge, kClose, kError };

// How a wait for the driver's queue to empty ended.
enum class Emptied { kYes, kUnknown, kTime, kWoken, kError };

}  // namespace posix

struct CComPort::Impl : serial::TransferBook {
    // The device and its two wake-up descriptors, valid while fd >= 0. They are closed only
    // by Close, and only once no transfer (inFlight) is waiting on them.
    int fd = -1;
    int readWake = -1;      // a Write's purge ends a Read blocked on another thread
    int closeWake = -1;     // Close ends every transfer in progress
    int readsInFlight = 0;  // of the transfers in flight, Reads: only they need a purge's wake-up

    // How long a byte lasts with the line settings last set, and the burst a reader expects.
    posix::nanoseconds byteTime{0};
    uint32_t expectedBurst = 0;

    // Settings with no device counterpart on Linux.
    uint32_t readMode = kReadTimed;
    std::optional<posix::milliseconds> writeTotal;  // none until mode 1 sets it
    uint32_t commMask = 0;
    uint32_t eventMask = 0xFFFFFFFF;  // the events the last WaitEvent reported
    uint8_t eventChar = 0;

    bool lowLatencySet = false;  // Open set the driver's flag: Close clears it again

    // A transfer's hold on the device: the descriptors and the settings of the moment.
    struct Ticket {
        int fd = -1;
        int readWake = -1;
        int closeWake = -1;
        uint64_t purges = 0;
        uint32_t readMode = kReadTimed;
        std::optional<posix::milliseconds> writeTotal;
        posix::nanoseconds byteTime{0};
        uint32_t expectedBurst = 0;
    };
    // Under the lock.
    Ticket Enter() {
        ++inFlight;
        return Ticket{fd,       readWake,   closeWake, purges,
                      readMode, writeTotal, byteTime,  expectedBurst};
    }

    using Clock = posix::Clock;
    using Outcome = posix::Outcome;
    using Wake = posix::Wake;
    using Emptied = posix::Emptied;

    // com_port.cpp: waits, release.
    Wake Wait(const Ticket& t, bool watchPurge, int device, short events, Clock::time_point until,
              short& revents, int& error);
    static void Release(int device, bool clearLowLatency);

    // com_port_read.cpp
    bool TakeCancel();
    Outcome Vanished(const Ticket& t, uint32_t got, int failure, Clock::time_point deadline);
    Outcome ReadDevice(const Ticket& t, uint8_t* bytes, uint32_t length, uint32_t got,
                       Clock::time_point start, posix::milliseconds timeout);
    Outcome WaitForEvent(const Ticket& t, uint32_t mask, bool pending, Clock::time_point deadline);
    Outcome Report(uint32_t events);

    // com_port_write.cpp
    Outcome WriteDevice(const Ticket& t, const uint8_t* bytes, uint32_t length,
                        Clock::time_point start, posix::milliseconds timeout);
    Emptied AwaitEmptyQueue(const Ticket& t, uint32_t cap, Clock::time_point deadline,
                            uint32_t& queued, int& error);
    Outcome AwaitSent(const Ticket& t, uint32_t written, bool callerFirst,
                      Clock::time_point deadline);
    uint32_t AwaitOutputGone(const Ticket& t);
};

}  // namespace tarvik
