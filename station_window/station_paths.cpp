// Where the station window keeps its settings and finds the user's documents on a POSIX
// desktop.
#include <cstdlib>
#include <fstream>
#include <string>

#include "serial/com_names.h"
#include "station_window/station_settings.h"

namespace tarvik::station {

namespace {

constexpr char kUserDirsFile[] = "/user-dirs.dirs";
constexpr char kDocumentsKey[] = "XDG_DOCUMENTS_DIR=";
constexpr char kHomeVariable[] = "$HOME";
constexpr char kDefaultDocuments[] = "/Documents";

std::string Home() {
    const char* home = std::getenv("HOME");
    return home != nullptr ? home : "";
}

}  // namespace

std::string StationSettingsPath() {
    return ConfigFolder() + "/" + kStationSettingsFileName;
}

std::string DocumentsFolder() {
    // The desktop's own choice (a localised name such as ~/文档), as xdg-user-dirs writes it:
    // XDG_DOCUMENTS_DIR="$HOME/文档".
    std::ifstream dirs(ConfigFolder() + kUserDirsFile);
    std::string line;
    while (std::getline(dirs, line)) {
        if (line.rfind(kDocumentsKey, 0) != 0) {
            continue;
        }
        std::string value = line.substr(sizeof kDocumentsKey - 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (value.rfind(kHomeVariable, 0) == 0) {
            value = Home() + value.substr(sizeof kHomeVariable - 1);
        }
        // "$HOME/" alone means the desktop has no documents folder of its own.
        if (!value.empty() && value != Home() && value != Home() + "/") {
            return value;
        }
    }
    return Home() + kDefaultDocuments;
}

}  // namespace tarvik::station
