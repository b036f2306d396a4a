// Where the station window keeps its settings and finds the user's documents on Windows: the
// settings in %LOCALAPPDATA%\tarvik (a standard user may not write the root of C:), the log
// in the Documents known folder.
#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>

#include <string>

#include "serial/wide_text.h"
#include "station_window/station_settings.h"

namespace tarvik::station {

namespace {

constexpr wchar_t kSettingsRootVariable[] = L"LOCALAPPDATA";
constexpr char kSettingsFolder[] = "\\tarvik\\";

}  // namespace

std::string StationSettingsPath() {
    wchar_t root[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(kSettingsRootVariable, root, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return kStationSettingsFileName;
    }
    return Utf8FromWide(root) + kSettingsFolder + kStationSettingsFileName;
}

std::string DocumentsFolder() {
    PWSTR path = nullptr;
    std::string folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &path))) {
        folder = Utf8FromWide(path);
    }
    CoTaskMemFree(path);
    return folder;
}

}  // namespace tarvik::station
