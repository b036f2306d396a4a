#include "cli/text_format.h"

#include <algorithm>
#include <cstdio>

namespace tarvik::cli {

namespace {

constexpr double kBytesPerKiB = 1024.0;
constexpr double kBytesPerMiB = 1024.0 * 1024.0;
constexpr int64_t kMsPerSecond = 1000;
constexpr int64_t kSecondsPerMinute = 60;
constexpr int64_t kSecondsPerHour = 3600;

// One decoded UTF-8 character: its code point and its length in bytes. Invalid bytes are
// taken one at a time as U+FFFD, so no text can make the walk stop or overrun.
struct Utf8Char {
    char32_t code;
    size_t length;
};

Utf8Char DecodeAt(const std::string& s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    size_t length = 1;
    char32_t code = lead;
    if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else if (lead >= 0xE0) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0x80) {
        return {U'\uFFFD', 1};
    }
    if (i + length > s.size()) {
        return {U'\uFFFD', 1};
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return {U'\uFFFD', 1};
        }
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    return {code, length};
}

bool IsWide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
           (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
           (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

size_t CharWidth(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
        return 0;
    }
    return IsWide(c) ? 2 : 1;
}

}  // namespace

std::string HexBytes(const uint8_t* bytes, size_t length) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(length * 3);
    for (size_t i = 0; i < length; ++i) {
        if (i > 0) {
            out += ' ';
        }
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
    return out;
}

std::string TraceLine(std::chrono::milliseconds since, const std::string& port,
                      TraceDirection direction, const uint8_t* bytes, size_t length) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%9lld ms] ", static_cast<long long>(since.count()));
    return std::string(stamp) + port + (direction == TraceDirection::Sent ? " -> " : " <- ") +
           HexBytes(bytes, length);
}

std::string Seconds(std::chrono::milliseconds elapsed) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s",
                  static_cast<double>(elapsed.count()) / static_cast<double>(kMsPerSecond));
    return text;
}

std::string ClockTime(std::chrono::milliseconds duration) {
    const int64_t total = duration.count() < 0 ? 0 : duration.count() / kMsPerSecond;
    const auto hours = static_cast<long long>(total / kSecondsPerHour);
    const auto minutes = static_cast<long long>((total % kSecondsPerHour) / kSecondsPerMinute);
    const auto seconds = static_cast<long long>(total % kSecondsPerMinute);
    char text[32];
    if (hours > 0) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, seconds);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", minutes, seconds);
    }
    return text;
}

std::string Rate(double bytesPerSecond) {
    char text[32];
    if (bytesPerSecond >= kBytesPerMiB) {
        std::snprintf(text, sizeof text, "%.1f MiB/s", bytesPerSecond / kBytesPerMiB);
    } else if (bytesPerSecond >= kBytesPerKiB) {
        std::snprintf(text, sizeof text, "%.1f KiB/s", bytesPerSecond / kBytesPerKiB);
    } else {
        std::snprintf(text, sizeof text, "%.0f B/s", bytesPerSecond < 0 ? 0.0 : bytesPerSecond);
    }
    return text;
}

size_t DisplayWidth(const std::string& utf8) {
    size_t width = 0;
    for (size_t i = 0; i < utf8.size();) {
        const Utf8Char c = DecodeAt(utf8, i);
        width += CharWidth(c.code);
        i += c.length;
    }
    return width;
}

std::string FitWidth(const std::string& utf8, size_t columns) {
    size_t width = 0;
    size_t i = 0;
    while (i < utf8.size()) {
        const Utf8Char c = DecodeAt(utf8, i);
        const size_t w = CharWidth(c.code);
        if (width + w > columns) {
            break;
        }
        width += w;
        i += c.length;
    }
    return utf8.substr(0, i);
}

std::string PadWidth(const std::string& utf8, size_t columns) {
    const size_t width = DisplayWidth(utf8);
    return width >= columns ? utf8 : utf8 + std::string(columns - width, ' ');
}

std::string TrimRight(std::string text) {
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

std::string TableText(const std::vector<std::vector<std::string>>& rows) {
    constexpr const char kColumnGap[] = "  ";
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], DisplayWidth(row[c]));
        }
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += PadWidth(row[c], widths[c]) + kColumnGap;
        }
        out += TrimRight(line) + "\n";
    }
    return out;
}

}  // namespace tarvik::cli
