// Not a test: takes the documentation's picture of the station window. With simulated boards
// linked as the prefix's COM ports:
//
//   station_shot_win32.exe OUT.bmp [the station's own arguments...]
//
// It makes the window at the top left of the display, starts it as its arguments say, waits
// until every panel shows a verdict or the bound, and writes the whole window to OUT.bmp.
#include <windows.h>

#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/station_window_win32.h"
#include "serial/wide_text.h"
#include "tests/window_win32/win32_support.h"

namespace {

constexpr std::chrono::milliseconds kSettle{800};  // repaints after the last change

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: station_shot_win32 OUT.bmp [ARGUMENTS...]\n");
        return 2;
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    std::vector<std::string> arguments(argv + 2, argv + argc);
    tarvik::CStationWindow window;
    if (!window.Create(tarvik::ParseStationArguments(arguments))) {
        return 1;
    }
    HWND hwnd = window.Handle();
    SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
    tarvik::testing::PumpUntil(hwnd, [&] { return window.AllPanelsShowVerdicts(); });
    tarvik::testing::PumpFor(hwnd, kSettle);
    tarvik::testing::WriteWindowBitmap(argv[1], hwnd);
    DestroyWindow(hwnd);
    return 0;
}
