// Finds the tool's frames in the byte stream the board receives.
//
// A frame starts with 'h' ':'; its step byte tells its size (137 bytes for data and final
// blocks, 23 for every other frame); it is valid when byte size-3 is the 8-bit sum of the
// bytes before it and it ends 'E' '.'. Bytes that do not form a valid frame are dropped and
// counted as one bad frame per run of dropped bytes; the scan resumes at the next 'h' ':'.
// A candidate that fails is dropped by one byte only, so a frame that follows a truncated
// one in the same stream is still found; a partial frame left on its own expires.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

#include "line_time.h"
#include "wire.h"

namespace tarvik::sim {

struct ReceivedFrame {
    Bytes bytes;
    Clock::time_point complete;  // when its last byte was on the board's side of the line
    std::uint32_t baud = 0;      // the line speed when its last byte arrived
};

class FrameScanner {
public:
    // Adds bytes that arrived: each byte is complete at `first + i * spacing` and was sent
    // at `baud` (spacing zero: they all arrived at `first`).
    void push(const Byte* bytes, std::size_t count, Clock::time_point first,
              std::chrono::nanoseconds spacing, std::uint32_t baud);

    // The next valid frame, or nothing until more bytes come.
    std::optional<ReceivedFrame> next();

    // A frame whose bytes stop coming is not waited for forever: once `now` is `gap` past
    // the last byte held, the frame begun at the front is dropped as a bad frame, and
    // next() looks for frames in what follows it. Returns whether it dropped anything.
    bool expire(Clock::time_point now, std::chrono::nanoseconds gap);
    // When the bytes held will expire, if any are held.
    std::optional<Clock::time_point> expiresAt(std::chrono::nanoseconds gap) const;

    std::uint64_t badFrames() const { return m_badFrames; }
    std::size_t buffered() const { return m_bytes.size(); }

private:
    struct Entry {
        Byte byte;
        Clock::time_point complete;
        std::uint32_t baud;
    };
    void discard(std::size_t count);

    std::deque<Entry> m_bytes;
    std::uint64_t m_badFrames = 0;
    bool m_discarding = false;  // inside a run of dropped bytes, already counted
};

}  // namespace tarvik::sim
