// Where COM names lead on Linux: the ports folder, then the fixed /dev map.
#include "serial/com_names.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace tarvik {
namespace {

constexpr std::string_view kPortsFolderName = "tarvik-ports";
constexpr std::string_view kPortsEntryPrefix = "com";

// One block of the fixed map: COM numbers [first, first + count) lead to devicePrefix + 0..
struct FixedBlock {
    int first;
    int count;
    const char* devicePrefix;
};
constexpr int kFixedBlockSize = 32;
constexpr std::array<FixedBlock, 3> kFixedMap{{
    {1, kFixedBlockSize, "/dev/ttyS"},
    {33, kFixedBlockSize, "/dev/ttyUSB"},
    {65, kFixedBlockSize, "/dev/ttyACM"},
}};

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    constexpr long kFallbackPasswdBuffer = 16384;
    std::vector<char> buffer(static_cast<size_t>(size > 0 ? size : kFallbackPasswdBuffer));
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return "/";
}

}  // namespace

std::string ConfigFolder() {
    // Relative values are invalid by the XDG rules and are ignored.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
        return xdg;
    }
    return HomeFolder() + "/.config";
}

std::string PortsFolder() {
    return ConfigFolder() + "/" + std::string(kPortsFolderName);
}

std::string AddressFolder() {
    return PortsFolder();
}

std::optional<std::string> ResolveDeviceName(const std::string& name) {
    const std::optional<int> number = ComNumber(name);
    if (!number) {
        return name;
    }
    if (std::optional<std::string> address = EntryAddress(*number)) {
        return address;
    }
    // A folder entry wins even when its target is missing: falling through to the fixed map
    // would open some other device under the name the operator chose.
    std::string entry =
        PortsFolder() + "/" + std::string(kPortsEntryPrefix) + std::to_string(*number);
    struct stat info {};
    if (lstat(entry.c_str(), &info) == 0) {
        return entry;
    }
    for (const FixedBlock& block : kFixedMap) {
        if (*number >= block.first && *number < block.first + block.count) {
            return block.devicePrefix + std::to_string(*number - block.first);
        }
    }
    return std::nullopt;
}

bool DeviceRefusesUser(const std::string& path) {
    // The effective ids decide, as they do when the port opens the device.
    return faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0 && errno == EACCES;
}

}  // namespace tarvik
