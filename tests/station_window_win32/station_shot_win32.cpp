// Not a test: takes the documentation's picture of the station window. With simulated boards
// linked as COM ports of the prefix:
//
//   station_shot_win32.exe OUT.bmp [the station's own arguments, --start among them]
//
// It makes the window at the top left of the display, with its settings in a temporary
// folder, waits until every panel shows a verdict (the boards stay on their fixtures), and
// writes the whole window to OUT.bmp. Run it in a Wine virtual desktop, which draws the
// caption itself (see take_shot.sh).
#include <windows.h>

#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "serial/port_list.h"
#include "station_window/station_source.h"
#include "station_window/station_window_win32.h"
#include "win32_support.h"

namespace {

constexpr std::chrono::milliseconds kSettle{800};  // repaints after the last change
// Every board of the picture is upgraded within this, with room for a busy machine.
constexpr std::chrono::minutes kShotBound{4};

bool ShowsVerdict(const tarvik::station::PanelView& panel) {
    return panel.word == tarvik::station::kWordSucceeded ||
           panel.word == tarvik::station::kWordFailed;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tarvik;
    if (argc < 2) {
        std::fprintf(stderr, "usage: station_shot_win32 OUT.bmp [ARGUMENTS...]\n");
        return 2;
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    const station::ParsedCommandLine parsed =
        station::ParseStationCommandLine(std::vector<std::string>(argv + 2, argv + argc));
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "station_shot_win32: %s\n", parsed.error.c_str());
        return 2;
    }
    std::vector<station::PresentPort> present;
    for (const PortEntry& entry : ListPorts()) {
        present.push_back({entry.comName, entry.description, entry.serial});
    }
    testing::CTempFolder folder;
    station::CStationWindow window(station::StationRun(), folder.File("tarvik-station.ini"),
                                   parsed.line, present);
    window.beep = [] {};
    if (!window.Create()) {
        return 1;
    }
    HWND hwnd = window.Handle();
    SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
    const bool done = testing::PumpUntil(
        hwnd,
        [&] {
            for (const station::PanelView& panel : window.Panels()) {
                if (!ShowsVerdict(panel)) {
                    return false;
                }
            }
            return !window.Panels().empty();
        },
        kShotBound);
    if (!done) {
        std::fprintf(stderr, "station_shot_win32: not every panel shows a verdict\n");
        return 1;
    }
    testing::PumpFor(hwnd, kSettle);
    testing::WriteWindowBitmap(argv[1], hwnd);
    window.Close();  // no transfer is left: nothing asks
    return 0;
}
