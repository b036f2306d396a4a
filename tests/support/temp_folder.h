// A fresh temporary folder with a unique name, on every platform, and paths as UTF-8 (the
// form the tool's file functions take).
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarvik::testing {

inline std::string Utf8Path(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

inline std::filesystem::path PathFromUtf8(std::string_view utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// Creates <temporary folder>/<prefix>-<random> and returns it.
inline std::filesystem::path MakeTempFolder(std::string_view prefix) {
    constexpr int kAttempts = 100;
    std::random_device seed;
    std::mt19937_64 random(seed());
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int i = 0; i < kAttempts; ++i) {
        const std::filesystem::path folder =
            base / (std::string(prefix) + "-" + std::to_string(random() % 1000000000));
        std::error_code error;
        if (std::filesystem::create_directory(folder, error)) {
            return folder;
        }
    }
    throw std::runtime_error("cannot make a temporary folder");
}

}  // namespace tarvik::testing
