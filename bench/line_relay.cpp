#include "line_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>

#include "serial/termios2.h"  // no <termios.h> in this file

namespace tarvik::bench {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

constexpr uint32_t kStartBaud = 115200;  // both slaves, until A's side sets its own
constexpr uint8_t kStartDataBits = 8;
constexpr size_t kReadChunk = 4096;
// What one side may have handed to the line and not yet seen cross, as a serial driver's
// transmit buffer holds (a page): beyond it the sender's writes wait, as on a real port.
// Without the bound a streaming sender would be done in no time and then time out waiting
// for a receiver that is still taking its bytes in.
constexpr size_t kTransmitBuffer = 4096;
constexpr size_t kPathCapacity = 256;
// Pacing a byte every 87 us needs timers that fire on time: the kernel's default slack of
// 50 us would stretch the line (nanoseconds; 0 would restore the default).
constexpr unsigned long kFinestTimerSlackNs = 1;
// While a side's terminal refuses more (its reader is behind), look again this soon.
constexpr std::chrono::microseconds kFullRetry{200};

struct PtySide {
    int master = -1;
    int keep = -1;  // the slave held open, so the master never sees a hang-up between users
    std::string path;
};

void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

PtySide OpenSide() {
    PtySide side;
    side.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (side.master < 0 || grantpt(side.master) != 0 || unlockpt(side.master) != 0) {
        Fail("cannot open a pseudo-terminal");
    }
    char name[kPathCapacity] = {};
    if (ptsname_r(side.master, name, sizeof name) != 0) {
        Fail("cannot name the pseudo-terminal");
    }
    side.path = name;
    side.keep = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (side.keep < 0) {
        Fail("cannot open " + side.path);
    }
    termios2 settings{};
    if (serial::GetDeviceTermios(side.keep, settings) != 0) {
        Fail("cannot read the settings of " + side.path);
    }
    serial::ApplyRawMode(settings);
    serial::ApplyLineSettings(settings, kStartBaud, kStartDataBits, 0, 0);
    if (serial::SetDeviceTermios(side.keep, settings) != 0) {
        Fail("cannot set " + side.path);
    }
    return side;
}

// The time one byte takes on A's line now, and its rate.
struct LineRate {
    uint32_t baud = kStartBaud;
    nanoseconds byteTime{0};
};

LineRate RateOf(int master) {
    LineRate rate;
    termios2 settings{};
    if (serial::GetDeviceTermios(master, settings) != 0) {
        return rate;
    }
    const serial::LineSettings line = serial::ReadLineSettings(settings);
    if (line.baudRate == 0) {
        return rate;
    }
    rate.baud = line.baudRate;
    rate.byteTime = serial::ByteTime(line);
    return rate;
}

// One direction of the line: bytes waiting to cross, each with the time it has arrived.
struct Direction {
    int from = -1;
    int to = -1;
    std::deque<std::pair<uint8_t, Clock::time_point>> inFlight;
    Clock::time_point lineFree{};  // the last byte in flight has arrived by then
    bool full = false;             // the far side's terminal took no more at the last try
    uint64_t bytes = 0;

    bool Idle(Clock::time_point now) const { return inFlight.empty() && now >= lineFree; }

    bool Room() const { return inFlight.size() < kTransmitBuffer; }

    // Takes what the sender wrote, as far as the transmit buffer has room; each byte starts
    // when the line is free.
    size_t Take(Clock::time_point now, nanoseconds byteTime) {
        uint8_t buffer[kReadChunk];
        size_t total = 0;
        while (Room()) {
            const ssize_t n =
                read(from, buffer, std::min(sizeof buffer, kTransmitBuffer - inFlight.size()));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return total;
            }
            for (ssize_t i = 0; i < n; ++i) {
                lineFree = std::max(lineFree, now) + byteTime;
                inFlight.emplace_back(buffer[i], lineFree);
            }
            total += static_cast<size_t>(n);
            bytes += static_cast<uint64_t>(n);
        }
        return total;
    }

    // Hands on every byte that has arrived by `now`; returns how many.
    size_t Deliver(Clock::time_point now) {
        uint8_t buffer[kReadChunk];
        size_t count = 0;
        while (count < inFlight.size() && count < sizeof buffer && inFlight[count].second <= now) {
            buffer[count] = inFlight[count].first;
            ++count;
        }
        if (count == 0) {
            return 0;
        }
        const ssize_t n = write(to, buffer, count);
        full = n < static_cast<ssize_t>(count);
        if (n <= 0) {
            return 0;
        }
        inFlight.erase(inFlight.begin(), inFlight.begin() + n);
        return static_cast<size_t>(n);
    }

    std::optional<Clock::time_point> NextDue(Clock::time_point now) const {
        if (inFlight.empty()) {
            return std::nullopt;
        }
        return full ? now + kFullRetry : inFlight.front().second;
    }
};

int SignalFd() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    return signalfd(-1, &set, SFD_CLOEXEC);
}

double MicrosSince(Clock::time_point start, Clock::time_point t) {
    return std::chrono::duration<double, std::micro>(t - start).count();
}

}  // namespace

int RunLineRelay() {
    prctl(PR_SET_TIMERSLACK, kFinestTimerSlackNs, 0, 0, 0);
    const int signals = SignalFd();
    const PtySide a = OpenSide();
    const PtySide b = OpenSide();
    std::cout << a.path << "\n" << b.path << std::endl;

    const Clock::time_point start = Clock::now();
    Direction ab;
    ab.from = a.master;
    ab.to = b.master;
    Direction ba;
    ba.from = b.master;
    ba.to = a.master;
    LineRecord record;
    std::optional<Clock::time_point> lastToA;
    bool reachedASinceStart = false;
    for (;;) {
        Clock::time_point now = Clock::now();
        const auto due = [&] {
            std::optional<Clock::time_point> next = ab.NextDue(now);
            if (auto other = ba.NextDue(now); other && (!next || *other < *next)) {
                next = other;
            }
            return next;
        }();
        timespec wait{};
        const timespec* timeout = nullptr;
        if (due) {
            const auto left = std::max(nanoseconds::zero(), *due - now);
            wait.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
            wait.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
            timeout = &wait;
        }
        // A side whose transmit buffer is full is not read: its writes wait.
        pollfd fds[3] = {{ab.Room() ? a.master : -1, POLLIN, 0},
                         {ba.Room() ? b.master : -1, POLLIN, 0},
                         {signals, POLLIN, 0}};
        const int ready = ppoll(fds, 3, timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            Fail("poll");
        }
        if (fds[2].revents != 0) {
            break;
        }
        now = Clock::now();
        if (fds[0].revents & POLLIN) {
            const bool lineWasIdle = ab.Idle(now);
            const bool answered = ba.inFlight.empty() && reachedASinceStart;
            const size_t n = ab.Take(now, RateOf(a.master).byteTime);
            if (n > 0 && (lineWasIdle || record.exchanges.empty())) {
                LineExchange e;
                e.startUs = MicrosSince(start, now);
                if (answered && lastToA) {
                    e.turnUs = MicrosSince(*lastToA, now);
                }
                record.exchanges.push_back(e);
                reachedASinceStart = false;
            }
            if (!record.exchanges.empty()) {
                record.exchanges.back().aBytes += n;
            }
        }
        if (fds[1].revents & POLLIN) {
            ba.Take(now, RateOf(a.master).byteTime);
        }
        ab.Deliver(now);
        if (const size_t n = ba.Deliver(now); n > 0) {
            lastToA = now;
            reachedASinceStart = true;
            if (!record.exchanges.empty()) {
                record.exchanges.back().bBytes += n;
            }
        }
    }

    record.aToB = ab.bytes;
    record.bToA = ba.bytes;
    record.baud = RateOf(a.master).baud;
    if (lastToA) {
        record.lastToASteadyNs =
            std::chrono::duration_cast<nanoseconds>(lastToA->time_since_epoch()).count();
    }
    nlohmann::json j;
    j["a_to_b"] = record.aToB;
    j["b_to_a"] = record.bToA;
    j["baud"] = record.baud;
    j["last_to_a_steady_ns"] = record.lastToASteadyNs;
    nlohmann::json exchanges = nlohmann::json::array();
    for (const LineExchange& e : record.exchanges) {
        exchanges.push_back({e.startUs, e.aBytes, e.bBytes, e.turnUs});
    }
    j["exchanges"] = exchanges;
    std::cout << j.dump() << std::endl;
    return 0;
}

LineRecord ParseLineRecord(const std::string& json) {
    LineRecord record;
    const nlohmann::json j = nlohmann::json::parse(json, nullptr, false);
    if (!j.is_object()) {
        return record;
    }
    record.aToB = j.value("a_to_b", uint64_t{0});
    record.bToA = j.value("b_to_a", uint64_t{0});
    record.baud = j.value("baud", uint32_t{0});
    record.lastToASteadyNs = j.value("last_to_a_steady_ns", int64_t{0});
    for (const auto& e : j.value("exchanges", nlohmann::json::array())) {
        record.exchanges.push_back(LineExchange{e[0].get<double>(), e[1].get<uint64_t>(),
                                                e[2].get<uint64_t>(), e[3].get<double>()});
    }
    return record;
}

}  // namespace tarvik::bench
