#include "transmitter.h"

#include <algorithm>

namespace tarvik::sim {

void Transmitter::schedule(Clock::time_point due, Bytes bytes, std::uint32_t baud, bool reply) {
    auto at = std::upper_bound(m_queue.begin(), m_queue.end(), due,
                               [](Clock::time_point t, const Item& item) { return t < item.due; });
    m_queue.insert(at, Item{due, std::move(bytes), baud, reply});
}

void Transmitter::activate(Clock::time_point now) {
    if (m_active || m_queue.empty()) {
        return;
    }
    const Clock::time_point start = std::max(m_queue.front().due, m_lineFree);
    if (start > now) {
        return;
    }
    m_active = std::move(m_queue.front());
    m_queue.pop_front();
    m_start = start;
    m_sent = 0;
}

std::size_t Transmitter::readyCount(Clock::time_point now) const {
    const std::size_t size = m_active->bytes.size();
    if (!m_pace) {
        return size;
    }
    // Byte i has crossed the line once i + 1 byte times have passed since the start.
    const auto perByte = byteTime(m_active->baud);
    const auto elapsed = now - m_start;
    const auto crossed = static_cast<std::size_t>(elapsed / perByte);
    return std::min(size, crossed);
}

std::span<const Byte> Transmitter::ready(Clock::time_point now) {
    activate(now);
    if (!m_active) {
        return {};
    }
    const std::size_t count = readyCount(now);
    if (count <= m_sent) {
        return {};
    }
    return std::span<const Byte>(m_active->bytes).subspan(m_sent, count - m_sent);
}

bool Transmitter::written(std::size_t count, Clock::time_point now) {
    if (!m_active) {
        return false;
    }
    m_sent += count;
    if (m_sent < m_active->bytes.size()) {
        return false;
    }
    const bool reply = m_active->reply;
    m_lineFree = m_pace ? m_start + lineTime(m_active->bytes.size(), m_active->baud) : now;
    m_active.reset();
    return reply;
}

std::optional<Clock::time_point> Transmitter::nextReady() const {
    if (m_active) {
        if (!m_pace) {
            return m_start;
        }
        return m_start + byteTime(m_active->baud) * static_cast<std::int64_t>(m_sent + 1);
    }
    if (m_queue.empty()) {
        return std::nullopt;
    }
    return std::max(m_queue.front().due, m_lineFree);
}

}  // namespace tarvik::sim
