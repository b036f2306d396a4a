// Time on the serial line: how long bytes take at a bit rate.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace tarvik::sim {

using Clock = std::chrono::steady_clock;

// 8 data bits, no parity, one stop bit: a start bit makes ten bits per byte.
inline constexpr std::uint32_t kBitsPerByte = 10;

// Time one byte takes on the line at `baud` bits per second (baud > 0).
inline std::chrono::nanoseconds byteTime(std::uint32_t baud) {
    constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
    return std::chrono::nanoseconds(kNanosPerSecond * kBitsPerByte / baud);
}

// Time `count` bytes take on the line at `baud`.
inline std::chrono::nanoseconds lineTime(std::size_t count, std::uint32_t baud) {
    return byteTime(baud) * static_cast<std::int64_t>(count);
}

}  // namespace tarvik::sim
