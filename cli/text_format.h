// Small text helpers of the command line: hex dumps for the trace, durations, rates and
// the display width of UTF-8 text on a terminal (CJK characters take two columns).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "upgrade/driver.h"

namespace tarvik::cli {

// "68 3A 57 19 ..." : upper-case hex, one space between bytes.
std::string HexBytes(const uint8_t* bytes, size_t length);

// One trace line (no newline): time since the program started in milliseconds, the port,
// the direction ("->" sent to the board, "<-" received from it) and the bytes in hex.
std::string TraceLine(std::chrono::milliseconds since, const std::string& port,
                      TraceDirection direction, const uint8_t* bytes, size_t length);

// "12.3 s"
std::string Seconds(std::chrono::milliseconds elapsed);
// "0:07", "12:34", "1:02:03" (minutes and seconds, hours when needed)
std::string ClockTime(std::chrono::milliseconds duration);
// "850 B/s", "11.2 KiB/s", "1.4 MiB/s"
std::string Rate(double bytesPerSecond);

// Terminal columns the UTF-8 text takes: wide (East Asian) characters count two, control
// characters none.
size_t DisplayWidth(const std::string& utf8);
// The text cut to at most `columns` terminal columns, never inside a UTF-8 sequence.
std::string FitWidth(const std::string& utf8, size_t columns);
// The text padded with spaces to `columns` terminal columns.
std::string PadWidth(const std::string& utf8, size_t columns);
// The text without trailing spaces.
std::string TrimRight(std::string text);
// Rows laid out in columns as wide as their widest cell (in terminal columns), two spaces
// apart, each line ending in "\n" without trailing spaces.
std::string TableText(const std::vector<std::vector<std::string>>& rows);

}  // namespace tarvik::cli
