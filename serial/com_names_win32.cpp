// Where COM names lead on Windows: the system's own device \\.\COMn. The Linux ports folder
// and /dev map do not exist here.
#include <windows.h>

#include "serial/com_names.h"
#include "serial/wide_text.h"

namespace tarvik {
namespace {

constexpr const char kPortsFolderName[] = "tarvik-ports";
constexpr const char kDevicePrefix[] = "\\\\.\\COM";

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

std::optional<std::string> ResolveDeviceName(const std::string& name) {
    // "COM10" and above open only through the \\.\ form; it works for COM1-9 as well.
    if (const std::optional<int> number = ComNumber(name)) {
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
