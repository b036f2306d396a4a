#include "station_window/station_settings.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "settings/settings.h"
#include "station/station_options.h"
#include "station_window/station_logic.h"

namespace tarvik::station {

namespace {

// The dialog's lists the line settings index.
constexpr int kParityChoices = 3;    // none, odd, even
constexpr int kDataBitsChoices = 2;  // 7, 8
constexpr int kStopBitsChoices = 3;  // 1, 1.5, 2
constexpr char kPortSeparator = ',';
constexpr char kLogPrefix[] = "tarvik-";
constexpr char kLogExtension[] = ".csv";

constexpr char kKeyImage[] = "image";
constexpr char kKeyLog[] = "log";
constexpr char kKeyPorts[] = "ports";
constexpr char kKeyParity[] = "parity";
constexpr char kKeyData[] = "data";
constexpr char kKeyStop[] = "stop";
constexpr char kKeySounds[] = "sounds";

int IndexOr(const std::string& value, int choices, int fallback) {
    if (value.size() != 1 || value[0] < '0' || value[0] >= '0' + choices) {
        return fallback;
    }
    return value[0] - '0';
}

std::string TrimLine(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) {
        text.pop_back();
    }
    size_t start = 0;
    while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) {
        ++start;
    }
    return text.substr(start);
}

std::vector<std::string> SplitPorts(const std::string& value) {
    std::vector<std::string> ports;
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find(kPortSeparator, start);
        if (end == std::string::npos) {
            end = value.size();
        }
        const std::string name = TrimLine(value.substr(start, end - start));
        if (!name.empty()) {
            ports.push_back(name);
        }
        start = end + 1;
    }
    return ports;
}

// A text value on one line: a line break in a path would start another key.
bool OneLine(const std::string& text) {
    return text.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

std::string DefaultLogPath(const std::string& documents,
                           std::chrono::system_clock::time_point day) {
    const std::time_t when = std::chrono::system_clock::to_time_t(day);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &when);
#else
    localtime_r(&when, &local);
#endif
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    std::string folder = documents;
    if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') {
#ifdef _WIN32
        folder += '\\';
#else
        folder += '/';
#endif
    }
    return folder + kLogPrefix + date + kLogExtension;
}

std::string FormatStationSettings(const StationSettings& settings) {
    std::string ports;
    for (const std::string& port : settings.ports) {
        // A name the file could not give back (a separator or a line break in it) is left out
        // rather than turned into other names.
        if (port.find(kPortSeparator) != std::string::npos || !OneLine(port)) {
            continue;
        }
        ports += (ports.empty() ? "" : ",") + port;
    }
    std::string text = "[" + std::string(kStationSection) + "]\n";
    text += std::string(kKeyImage) + "=" + (OneLine(settings.image) ? settings.image : "") + "\n";
    text += std::string(kKeyLog) + "=" + (OneLine(settings.log) ? settings.log : "") + "\n";
    text += std::string(kKeyPorts) + "=" + ports + "\n";
    text += std::string(kKeyParity) + "=" + std::to_string(settings.parityIndex) + "\n";
    text += std::string(kKeyData) + "=" + std::to_string(settings.dataBitsIndex) + "\n";
    text += std::string(kKeyStop) + "=" + std::to_string(settings.stopBitsIndex) + "\n";
    text += std::string(kKeySounds) + "=" + (settings.sounds ? "1" : "0") + "\n";
    return text;
}

StationSettings ParseStationSettings(const std::string& text) {
    StationSettings settings;
    const StationSettings defaults;
    bool inSection = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = TrimLine(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (line.front() == '[') {
            inSection = line == "[" + std::string(kStationSection) + "]";
            continue;
        }
        const size_t equals = line.find('=');
        if (!inSection || equals == std::string::npos) {
            continue;
        }
        const std::string key = TrimLine(line.substr(0, equals));
        const std::string value = TrimLine(line.substr(equals + 1));
        if (key == kKeyImage) {
            settings.image = value;
        } else if (key == kKeyLog) {
            settings.log = value;
        } else if (key == kKeyPorts) {
            settings.ports = SplitPorts(value);
        } else if (key == kKeyParity) {
            settings.parityIndex = IndexOr(value, kParityChoices, defaults.parityIndex);
        } else if (key == kKeyData) {
            settings.dataBitsIndex = IndexOr(value, kDataBitsChoices, defaults.dataBitsIndex);
        } else if (key == kKeyStop) {
            settings.stopBitsIndex = IndexOr(value, kStopBitsChoices, defaults.stopBitsIndex);
        } else if (key == kKeySounds) {
            settings.sounds = value != "0";
        }
    }
    return settings;
}

StationSettings LoadStationSettings(const std::string& path) {
    std::string bytes;
    if (!ReadWholeFile(path, bytes)) {
        return StationSettings{};
    }
    return ParseStationSettings(bytes);
}

bool SaveStationSettings(const std::string& path, const StationSettings& settings) {
    return ReplaceFileWhole(path, FormatStationSettings(settings));
}

ParsedCommandLine ParseStationCommandLine(const std::vector<std::string>& args) {
    ParsedCommandLine parsed;
    StationCommandLine& line = parsed.line;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&](std::string& out) {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                parsed.error = arg + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string text;
        if (arg == "--port") {
            if (!value(text)) {
                return parsed;
            }
            for (const std::string& given : line.ports) {
                if (given == text) {
                    parsed.error = "--port " + text + " is given twice";
                    return parsed;
                }
            }
            line.ports.push_back(text);
        } else if (arg == "--image") {
            if (!value(text)) {
                return parsed;
            }
            line.image = text;
        } else if (arg == "--log") {
            if (!value(text)) {
                return parsed;
            }
            line.log = text;
        } else if (arg == "--count") {
            if (!value(text)) {
                return parsed;
            }
            // Digits only: strtoull would take "-1" as a huge count.
            if (text.find_first_not_of("0123456789") != std::string::npos) {
                parsed.error = "--count " + text + " is not a number of boards";
                return parsed;
            }
            errno = 0;
            const unsigned long long count = std::strtoull(text.c_str(), nullptr, 10);
            if (errno != 0 || count < 1 || count > kMaxStationBoards) {
                parsed.error =
                    "--count " + text + " is not in 1.." + std::to_string(kMaxStationBoards);
                return parsed;
            }
            line.count = count;
        } else if (arg == "--stop-on-fail") {
            line.stopOnFail = true;
        } else if (arg == "--start") {
            line.start = true;
        } else if (arg == "--help" || arg == "-h") {
            line.help = true;
        } else {
            parsed.error = "unknown option " + arg;
            return parsed;
        }
    }
    if (line.ports.size() > kMaxPanels) {
        parsed.error = "at most " + std::to_string(kMaxPanels) + " ports";
    }
    return parsed;
}

std::string StationUsage() {
    return "Usage: tarvik-station [--port P]... [--image F] [--log F] [--count N] "
           "[--stop-on-fail] [--start]\n"
           "  --port P        use port P (COM name or device path); repeat for more ports\n"
           "  --image F       the firmware image\n"
           "  --log F         the record of every board (CSV, or JSON lines)\n"
           "  --count N       end after N boards on each port (exit 0 all succeeded, 1 any "
           "failed)\n"
           "  --stop-on-fail  take no further board after a failure\n"
           "  --start         begin at once\n"
           "  --help          show this and end\n"
           "  --version       show the version and end\n";
}

StationSettings ApplyCommandLine(StationSettings settings, const StationCommandLine& line) {
    if (!line.ports.empty()) {
        settings.ports = line.ports;
    }
    if (line.image) {
        settings.image = *line.image;
    }
    if (line.log) {
        settings.log = *line.log;
    }
    return settings;
}

}  // namespace tarvik::station
