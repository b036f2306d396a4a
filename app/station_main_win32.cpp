// tarvik-station.exe: the production screen of a fixture PC on Windows. Its arguments come
// from the PC's shortcut (--port P repeatable, --image F, --log F, --count N, --stop-on-fail,
// --start); the program ends with the window, with the command line's exit codes.
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/station_window_win32.h"
#include "serial/wide_text.h"

namespace {

// The program's arguments after its own name, UTF-8.
std::vector<std::string> Arguments() {
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return arguments;
    }
    for (int i = 1; i < count; ++i) {
        arguments.push_back(tarvik::Utf8FromWide(wide[i]));
    }
    LocalFree(wide);
    return arguments;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    tarvik::CStationWindow window;
    if (!window.Create(tarvik::ParseStationArguments(Arguments()))) {
        return 1;
    }
    return window.Run(show);
}
