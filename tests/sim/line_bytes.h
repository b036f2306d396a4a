// Bytes on the line, written out for the tests of the simulated board: the tool's frames as
// a client sends them and the replies the board should give. Independent of both the
// board's and the tool's frame code.
#pragma once

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

// "68 3A 57" -> {0x68, 0x3A, 0x57}
inline Bytes hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    unsigned value = 0;
    while (in >> std::hex >> value) {
        out.push_back(static_cast<std::uint8_t>(value));
    }
    return out;
}

inline Bytes fill(std::size_t count, std::uint8_t value) {
    return Bytes(count, value);
}

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline std::uint8_t sum8(const Bytes& bytes) {
    unsigned s = 0;
    for (std::uint8_t b : bytes) {
        s += b;
    }
    return static_cast<std::uint8_t>(s & 0xFFu);
}

// A 23-byte command frame as the tool sends it: payload padded with zeros to 16 bytes.
inline Bytes command(std::uint8_t cmd, std::uint8_t step, Bytes payload = {}) {
    payload.resize(16, 0x00);
    Bytes head = Bytes{0x68, 0x3A, cmd, step} + payload;
    return head + Bytes{sum8(head), 0x45, 0x2E};
}

// A 137-byte data frame: block number little-endian, then 128 bytes of data.
inline Bytes block(std::uint8_t step, std::uint16_t number, const Bytes& data) {
    Bytes head = Bytes{0x68,
                       0x3A,
                       0x57,
                       step,
                       static_cast<std::uint8_t>(number & 0xFF),
                       static_cast<std::uint8_t>(number >> 8)} +
                 data;
    return head + Bytes{sum8(head), 0x45, 0x2E};
}

// A reply as the board sends it, ending 'E' 'D' or, with endDot, 'E' '.'.
inline Bytes reply(std::uint8_t cmd, std::uint8_t step, Bytes payload = {}, bool endDot = false) {
    payload.resize(16, 0x00);
    Bytes head = Bytes{0x68, 0x3A, cmd, step} + payload;
    return head + Bytes{sum8(head), 0x45, static_cast<std::uint8_t>(endDot ? 0x2E : 0x44)};
}

inline Bytes le16(unsigned v) {
    return {static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>((v >> 8) & 0xFF)};
}
inline Bytes le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>((v >> 8) & 0xFF),
            static_cast<std::uint8_t>((v >> 16) & 0xFF), static_cast<std::uint8_t>(v >> 24)};
}

// An image of `length` bytes with a pattern that makes misplaced blocks visible.
inline Bytes patternImage(std::size_t length) {
    Bytes image(length);
    for (std::size_t i = 0; i < length; ++i) {
        image[i] = static_cast<std::uint8_t>((i * 7 + i / 128) & 0xFF);
    }
    return image;
}

// The frames of a whole upgrade of `image`, in order, and the board's sum of it.
struct Exchange {
    std::vector<Bytes> frames;
    std::vector<Bytes> replies;  // the normal reply to each frame
    std::uint32_t sum = 0;
    Bytes received;  // the image as the board should hold it: fill included
};

inline Exchange upgradeOf(const Bytes& image, bool endDot = false) {
    Exchange x;
    x.frames.push_back(command('W', 25));
    x.replies.push_back(reply('W', 25, {}, endDot));
    x.frames.push_back(command('W', 26));
    x.replies.push_back(reply('W', 26, {}, endDot));
    const std::size_t total = image.size() / 128 + 1;
    for (std::size_t n = 0; n < total; ++n) {
        Bytes data = fill(128, 0xFF);
        const std::size_t from = n * 128;
        const std::size_t count = std::min<std::size_t>(128, image.size() - from);
        std::copy(image.begin() + static_cast<std::ptrdiff_t>(from),
                  image.begin() + static_cast<std::ptrdiff_t>(from + count), data.begin());
        const bool last = n + 1 == total;
        x.frames.push_back(block(last ? 28 : 27, static_cast<std::uint16_t>(n), data));
        x.replies.push_back(last ? reply('W', 28, {}, endDot)
                                 : reply('W', 27, le16(static_cast<unsigned>(n + 1)), endDot));
        x.received = x.received + data;
        for (std::uint8_t b : data) {
            x.sum += b;
        }
    }
    x.frames.push_back(command('R', 29));
    x.replies.push_back(reply('R', 29, le32(x.sum), endDot));
    x.frames.push_back(command('W', 30, {0x01}));
    x.replies.push_back(reply('W', 30, {}, endDot));
    return x;
}

}  // namespace simtest
