// What the station window remembers between runs (its own file, tarvik-station.ini, beside
// the dialog's settings) and the command line of a fixture PC's shortcut, which overrides
// what was remembered for one run. Plain C++; called on the window's thread only.
//
//   [Station]
//   image=<path>   log=<path>   ports=COM7,COM8   parity=0   data=1   stop=0   sounds=1
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvik::station {

inline constexpr char kStationSettingsFileName[] = "tarvik-station.ini";
inline constexpr char kStationSection[] = "Station";

struct StationSettings {
    std::string image;
    std::string log;                 // empty: the day's log in the documents (DefaultLogPath)
    std::vector<std::string> ports;  // the checked ports, in the list's order
    // The search's line settings, as the dialog's list indexes: parity none/odd/even, data
    // bits 7/8, stop bits 1/1.5/2. The first-run values are the dialog's.
    int parityIndex = 0;
    int dataBitsIndex = 1;
    int stopBitsIndex = 0;
    bool sounds = true;

    bool operator==(const StationSettings&) const = default;
};

// <configuration folder>/tarvik-station.ini (Windows: %LOCALAPPDATA%\tarvik\...).
std::string StationSettingsPath();
// The user's documents folder: Linux XDG_DOCUMENTS_DIR of user-dirs.dirs, else ~/Documents;
// Windows the Documents known folder.
std::string DocumentsFolder();
// The log used when none is chosen: "<documents>/tarvik-YYYY-MM-DD.csv" for the local date of
// `day`, so each day's boards share one file and a new day begins a new one.
std::string DefaultLogPath(const std::string& documents, std::chrono::system_clock::time_point day);

// The file's text and back; values outside their lists take the defaults, so a hand-edited
// file never selects what the lists do not hold.
std::string FormatStationSettings(const StationSettings& settings);
StationSettings ParseStationSettings(const std::string& text);
// A missing or unreadable file gives the defaults.
StationSettings LoadStationSettings(const std::string& path);
// Replaces the file whole (the old one stays intact until the new one is complete); false
// when it could not be written.
bool SaveStationSettings(const std::string& path, const StationSettings& settings);

// The command line: --port P (repeatable), --image F, --log F, --count N, --stop-on-fail,
// --start, --help.
struct StationCommandLine {
    std::vector<std::string> ports;  // given: exactly these ports are checked
    std::optional<std::string> image;
    std::optional<std::string> log;
    std::optional<uint64_t> count;  // boards per port, then the window ends
    bool stopOnFail = false;
    bool start = false;  // begin at once
    bool help = false;
};
struct ParsedCommandLine {
    StationCommandLine line;
    std::string error;  // empty when the line was understood
};
// `args` without the program's name. Qt's own options are taken off before this is called.
ParsedCommandLine ParseStationCommandLine(const std::vector<std::string>& args);
std::string StationUsage();

// The settings for this run: the remembered ones with what the command line gives.
StationSettings ApplyCommandLine(StationSettings settings, const StationCommandLine& line);

}  // namespace tarvik::station
