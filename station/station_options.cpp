#include "station/station_options.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>

namespace tarvik {

namespace {

constexpr int kFirstDataBits = 7;  // the data-bits list starts at 7
constexpr std::array<const char*, 3> kParityItems = {"none", "odd", "even"};
constexpr std::array<const char*, 3> kStopBitsItems = {"1", "1.5", "2"};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

template <size_t N>
int IndexOf(const std::array<const char*, N>& items, const std::string& value) {
    for (size_t i = 0; i < N; ++i) {
        if (value == items[i]) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace

LineSelections SelectionsFor(const UpgradeOptions& options) {
    LineSelections s;
    s.dataBitsIndex =
        (options.dataBits == 7 || options.dataBits == 8) ? options.dataBits - kFirstDataBits : -1;
    s.parityIndex = IndexOf(kParityItems, Lower(options.parity));
    s.stopBitsIndex = IndexOf(kStopBitsItems, options.stopBits);
    return s;
}

std::chrono::milliseconds SecondsToMs(double seconds) {
    return std::chrono::milliseconds(static_cast<int64_t>(std::llround(seconds * 1000.0)));
}

}  // namespace tarvik
