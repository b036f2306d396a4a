// File helpers of the window tests; the configuration folder itself is shared by all tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "scoped_config_home.h"

namespace tarvik::testing {

inline void WriteText(const std::filesystem::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace tarvik::testing
