// Line settings of a terminal device, read and written through the kernel's termios2
// record so that any bit rate can be seen, also those without a B-constant (14400, 56000,
// 128000, 256000, 1024000).
//
// On a pseudo-terminal the calls may be made on the master: they act on the slave, so the
// board learns the rate the tool set on its side of the line.
#pragma once

#include <cstdint>
#include <optional>

namespace tarvik::sim {

// The output bit rate of the terminal behind `fd`; nothing if `fd` is not a terminal.
std::optional<std::uint32_t> readLineSpeed(int fd);

// Sets both rates of `fd` to `baud`, after what was written has gone out. False on failure.
bool setLineSpeed(int fd, std::uint32_t baud);

// Raw mode, as a serial port is: 8 data bits, no parity, no echo, no line editing, no
// translation, no signals; a read returns what is there once a byte has come.
bool makeRaw(int fd);

}  // namespace tarvik::sim
