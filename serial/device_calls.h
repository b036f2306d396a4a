// The device calls on which the port's timing rests: writing, waiting until the output has
// left the line, changing line settings without cutting into bytes still queued, and the
// driver's low-latency flag. They go through one table so that a test can watch their order
// on a line where time cannot be seen (a pseudo-terminal passes bytes on at once) and stand
// in for a driver that a pseudo-terminal is not (one that knows the low-latency flag).
//
// Whoever includes this header must not include <termios.h> (see termios2.h).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "serial/termios2.h"

namespace tarvik::serial {

struct DeviceCalls {
    // write(2).
    ssize_t (*write)(int fd, const void* bytes, size_t length);
    // Bytes written but not yet sent by the driver (TIOCOUTQ). 0 or the errno.
    int (*outputQueued)(int fd, uint32_t& bytes);
    // Waits until the driver's last bytes, also those in the UART, have left (tcdrain). Only
    // called once outputQueued reports nothing left, so it waits a few characters at most.
    // 0 or the errno.
    int (*drainOutput)(int fd);
    // New line settings once every byte already written has been sent (TCSETSW2). 0 or the
    // errno.
    int (*setTermiosDrained)(int fd, const termios2& t);
    // The driver's low-latency flag (TIOCGSERIAL/TIOCSSERIAL, ASYNC_LOW_LATENCY): it makes
    // USB adapters pass short replies on at once instead of after their latency timer.
    // 0 or the errno; ENOTTY or EINVAL from a device without the request.
    int (*getLowLatency)(int fd, bool& on);
    int (*setLowLatency)(int fd, bool on);
};

// The table in use: the system's calls unless a test has put its own in place.
const DeviceCalls& Calls();
// The system's calls, for a test table that watches and passes on.
const DeviceCalls& SystemCalls();
// Puts `calls` in place (nullptr: the system's again). Only while no port is open: the port
// reads the table on any of its threads.
void UseDeviceCalls(const DeviceCalls* calls);

}  // namespace tarvik::serial
