// tarvik-station.exe: the production screen of a fixture PC on Windows. Its arguments come
// from the PC's shortcut (--port P repeatable, --image F, --log F, --count N, --stop-on-fail,
// --start); the program ends with the window, with tarvik-cli's exit codes.
#include <windows.h>

#include <commctrl.h>

#include <string>
#include <vector>

#include "serial/port_list.h"
#include "serial/wide_text.h"
#include "station/station_options.h"
#include "station_window/station_settings.h"
#include "station_window/station_source.h"
#include "station_window/station_window_win32.h"

namespace {

constexpr wchar_t kCaption[] = L"tarvik-station";

// The program's arguments after its own name, UTF-8.
std::vector<std::string> Arguments() {
    std::vector<std::string> arguments = tarvik::CommandLineUtf8();
    if (!arguments.empty()) {
        arguments.erase(arguments.begin());
    }
    return arguments;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show) {
    using namespace tarvik;
    // A windows program has no console to print to: usage and its errors come in a box.
    const station::ParsedCommandLine parsed = station::ParseStationCommandLine(Arguments());
    if (!parsed.error.empty()) {
        MessageBoxW(nullptr, WideFromUtf8(parsed.error + "\n\n" + station::StationUsage()).c_str(),
                    kCaption, MB_OK | MB_ICONERROR);
        return kExitUsage;
    }
    if (parsed.line.help) {
        MessageBoxW(nullptr, WideFromUtf8(station::StationUsage()).c_str(), kCaption, MB_OK);
        return kExitOk;
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    std::vector<station::PresentPort> present;
    for (const PortEntry& entry : ListPorts()) {
        present.push_back({entry.comName, entry.description, entry.serial});
    }
    station::CStationWindow window(station::StationRun(), station::StationSettingsPath(),
                                   parsed.line, present);
    if (!window.Create()) {
        return kExitUsage;
    }
    window.Run(show);
    return window.ExitCode();
}
