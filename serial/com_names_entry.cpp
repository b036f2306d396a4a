// The address entries of the ports folder, the same on every desktop platform: a COM name
// whose entry is a plain file leads to the network address it holds.
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "serial/com_names.h"
#include "serial/net_line.h"

namespace tarvik {
namespace {

constexpr std::string_view kEntryPrefix = "com";
// An address entry is one short line; a bigger file is no address entry.
constexpr std::uintmax_t kMaxEntrySize = 1024;

}  // namespace

std::optional<std::string> EntryAddress(int number) {
    const std::string name = std::string(kEntryPrefix) + std::to_string(number);
    const std::string folderText = AddressFolder();
    const std::u8string folder(folderText.begin(), folderText.end());  // UTF-8 on every platform
    const std::filesystem::path entry = std::filesystem::path(folder) / name;
    std::error_code error;
    // The entry itself, not what it links to: a link leads to a device.
    const std::filesystem::file_status status = std::filesystem::symlink_status(entry, error);
    if (error || !std::filesystem::is_regular_file(status) ||
        std::filesystem::file_size(entry, error) > kMaxEntrySize || error) {
        return std::nullopt;
    }
    std::ifstream file(entry, std::ios::binary);
    std::string line;
    std::getline(file, line);
    const auto space = [](unsigned char c) { return std::isspace(c) != 0; };
    while (!line.empty() && space(static_cast<unsigned char>(line.back()))) {
        line.pop_back();
    }
    size_t first = 0;
    while (first < line.size() && space(static_cast<unsigned char>(line[first]))) {
        ++first;
    }
    line = line.substr(first);
    // Anything else in a plain file is no address: the entry then leads to that file, which
    // does not open as a port.
    if (!net::IsNetworkName(line)) {
        return std::nullopt;
    }
    return line;
}

}  // namespace tarvik
