#include "scanner.h"

namespace tarvik::sim {

void FrameScanner::push(const Byte* bytes, std::size_t count, Clock::time_point first,
                        std::chrono::nanoseconds spacing, std::uint32_t baud) {
    for (std::size_t i = 0; i < count; ++i) {
        m_bytes.push_back(Entry{bytes[i], first + spacing * static_cast<std::int64_t>(i), baud});
    }
}

void FrameScanner::discard(std::size_t count) {
    if (count == 0) {
        return;
    }
    if (!m_discarding) {
        m_discarding = true;
        ++m_badFrames;
    }
    m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

bool FrameScanner::expire(Clock::time_point now, std::chrono::nanoseconds gap) {
    const auto at = expiresAt(gap);
    if (!at || now < *at) {
        return false;
    }
    discard(1);
    return true;
}

std::optional<Clock::time_point> FrameScanner::expiresAt(std::chrono::nanoseconds gap) const {
    if (m_bytes.empty()) {
        return std::nullopt;
    }
    return m_bytes.back().complete + gap;
}

std::optional<ReceivedFrame> FrameScanner::next() {
    for (;;) {
        // Skip to the next "h:"; a lone 'h' at the end may still become one.
        std::size_t start = 0;
        while (start < m_bytes.size()) {
            if (m_bytes[start].byte == kHeader0 &&
                (start + 1 == m_bytes.size() || m_bytes[start + 1].byte == kHeader1)) {
                break;
            }
            ++start;
        }
        discard(start);
        if (m_bytes.size() >= kHeaderSize) {
            m_discarding = false;  // a new candidate begins here
        }
        if (m_bytes.size() <= kStepOffset) {
            return std::nullopt;
        }

        const std::size_t size = frameSizeForStep(m_bytes[kStepOffset].byte);
        if (m_bytes.size() < size) {
            return std::nullopt;
        }
        Bytes frame(size);
        for (std::size_t i = 0; i < size; ++i) {
            frame[i] = m_bytes[i].byte;
        }
        const std::size_t checksumAt = size - kChecksumFromEnd;
        const bool valid = checksum8(frame.data(), checksumAt) == frame[checksumAt] &&
                           frame[size - 2] == kTrailer0 && frame[size - 1] == kTrailerDot;
        if (!valid) {
            discard(1);
            continue;
        }
        ReceivedFrame out{std::move(frame), m_bytes[size - 1].complete, m_bytes[size - 1].baud};
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(size));
        return out;
    }
}

}  // namespace tarvik::sim
