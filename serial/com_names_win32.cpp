// Where COM names lead on Windows: the system's own device \\.\COMn. The Linux ports folder
// and /dev map do not exist here.
#include <windows.h>

#include "serial/com_names.h"
#include "serial/wide_text.h"

namespace tarvik {
namespace {

constexpr const char kPortsFolderName[] = "tarvik-ports";
constexpr const char kDevicePrefix[] = "\\\\.\\COM";
constexpr const char kAddressFolder[] = "\\tarvik\\ports";

}  // namespace

std::string ConfigFolder() {
    // The roaming application-data folder of the user; the working folder if it has none.
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"APPDATA", buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return ".";
    }
    return Utf8FromWide(std::wstring_view(buffer, length));
}

std::string PortsFolder() {
    return ConfigFolder() + "\\" + kPortsFolderName;
}

std::string AddressFolder() {
    // The local (not roaming) application-data folder: an address belongs to this machine's
    // network; the working folder if there is none.
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return std::string(".") + kAddressFolder;
    }
    return Utf8FromWide(std::wstring_view(buffer, length)) + kAddressFolder;
}

std::optional<std::string> ResolveDeviceName(const std::string& name) {
    // "COM10" and above open only through the \\.\ form; it works for COM1-9 as well.
    if (const std::optional<int> number = ComNumber(name)) {
        // An address entry takes precedence over the system's port of that number.
        if (std::optional<std::string> address = EntryAddress(*number)) {
            return address;
        }
        return kDevicePrefix + std::to_string(*number);
    }
    return name;
}

bool DeviceRefusesUser(const std::string& /*path*/) {
    // A COM port has no permissions of its own to look at: a refusal shows only when it
    // is opened, and the window says so then.
    return false;
}

}  // namespace tarvik
