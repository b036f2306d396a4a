// The transmit side of a real serial line, under the port's device calls: a write's bytes
// leave at the line's rate (one character time a byte at the rate and framing set), the
// driver's queue reports what has not left yet, and a drain or a drained settings change
// waits until it has. A pseudo-terminal empties its queue at once and hides every wait a
// real UART (or USB adapter) imposes on the writer; with this table in place a pty line
// takes as long to send as the real one would.
//
// The far end still receives the bytes at once (the model only delays the writer): a board
// may answer before the writer learns its frame has left, as an answer on a real line
// never can. What it models is the writer's own time, which is what decides whether one
// port's write holds up anything else.
//
// One at a time: the table is the process's (serial::UseDeviceCalls). Linux only.
// (This header must not be included with <termios.h>: see serial/termios2.h.)
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace tarvik::testing {

class DrainingLines {
public:
    using Clock = std::chrono::steady_clock;

    // Puts the model's device calls in place; only while no port is open.
    DrainingLines();
    // The system's calls again; only once every port is closed.
    ~DrainingLines();
    DrainingLines(const DrainingLines&) = delete;
    DrainingLines& operator=(const DrainingLines&) = delete;

    // The device at `path` (as /proc/self/fd shows it, e.g. /dev/pts/7) takes `byteTime` a
    // byte whatever its rate; every other line takes its own rate's character time.
    void SetByteTime(const std::string& path, std::chrono::nanoseconds byteTime);

    // Called on the writing thread, outside the model's lock: when a write has put its bytes
    // in the queue, and when the port first learns the queue has emptied (the port asks
    // until it has). Set them before any port opens.
    std::function<void(const std::string& path, size_t bytes)> onWrite;
    std::function<void(const std::string& path)> onDrained;

    // Internals of the device calls (public for the plain functions of the table).
    struct Line {
        std::string path;
        Clock::time_point busyUntil;  // when the last byte queued has left
        bool draining = false;        // bytes written, the port not yet told they have left
    };
    Line& LineOf(int fd);                       // under m_mutex
    std::chrono::nanoseconds ByteTime(int fd);  // under m_mutex
    std::mutex m_mutex;

private:
    std::map<int, Line> m_lines;
    std::map<std::string, std::chrono::nanoseconds> m_byteTimes;
};

}  // namespace tarvik::testing
