// COM names that mean the same on every platform; where they lead is the platform's own
// (com_names_posix.cpp, com_names_win32.cpp).
#include "serial/com_names.h"

#include <cctype>
#include <string_view>

namespace tarvik {
namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\";  // \\.\ before a COM name
constexpr std::string_view kComPrefix = "COM";
constexpr size_t kMaxComDigits = 3;  // COM256

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) !=
            std::toupper(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<int> ComNumber(const std::string& name) {
    std::string_view rest = name;
    if (rest.starts_with(kDevicePrefix)) {
        rest.remove_prefix(kDevicePrefix.size());
    }
    if (!StartsWithNoCase(rest, kComPrefix)) {
        return std::nullopt;
    }
    rest.remove_prefix(kComPrefix.size());
    // Digits only, no sign, no leading zero: "COM01" and "COM0" are not COM names.
    if (rest.empty() || rest.size() > kMaxComDigits || rest.front() == '0') {
        return std::nullopt;
    }
    int number = 0;
    for (char c : rest) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        number = number * 10 + (c - '0');
    }
    if (number > kComNameCount) {
        return std::nullopt;
    }
    return number;
}

}  // namespace tarvik
