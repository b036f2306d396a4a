// The board's transmit line: replies wait for their time and, when the line is paced, go
// out one byte at a time at the line rate, as a UART sends them.
//
// Plain logic over a caller's clock: the event loop asks which bytes may be written now,
// writes what it can and reports it; tests drive it with made-up times.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>

#include "line_time.h"
#include "wire.h"

namespace tarvik::sim {

class Transmitter {
public:
    explicit Transmitter(bool pace) : m_pace(pace) {}

    // Queues bytes to go on the line no earlier than `due`, at `baud`. Items go out in the
    // order of their due times (equal times in the order queued), one after the other.
    void schedule(Clock::time_point due, Bytes bytes, std::uint32_t baud, bool reply);

    // The bytes that may be written at `now`: all of the current item, or with pacing those
    // whose time on the line has passed. Empty when nothing is ready.
    std::span<const Byte> ready(Clock::time_point now);

    // Reports that the first `count` bytes of ready() were written at `now`. Returns true when
    // that completed a transmission that carries a reply.
    bool written(std::size_t count, Clock::time_point now);

    // When the next byte becomes ready, if anything is queued.
    std::optional<Clock::time_point> nextReady() const;

    bool idle() const { return !m_active && m_queue.empty(); }

private:
    struct Item {
        Clock::time_point due;
        Bytes bytes;
        std::uint32_t baud;
        bool reply;
    };
    void activate(Clock::time_point now);
    std::size_t readyCount(Clock::time_point now) const;

    bool m_pace;
    std::deque<Item> m_queue;
    std::optional<Item> m_active;
    Clock::time_point m_start{};     // when the active item began on the line
    std::size_t m_sent = 0;          // bytes of the active item written
    Clock::time_point m_lineFree{};  // when the line is free for the next item
};

}  // namespace tarvik::sim
