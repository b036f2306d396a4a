// tarvik.exe: the desktop tool on Windows. The socket library is started as the tool always
// has (its failure ends the program with string 103), then the main window runs modally and
// the program ends with it.
#include <windows.h>
#include <winsock2.h>

#include <commctrl.h>

#include <string>
#include <vector>

#include "app/upgrade_dlg_win32.h"
#include "res/resource.h"
#include "serial/wide_text.h"

namespace {

constexpr WORD kSocketVersion = MAKEWORD(1, 1);
constexpr int kStringChars = 256;

// The program's arguments after its own name, UTF-8.
std::vector<std::string> Arguments() {
    std::vector<std::string> arguments = tarvik::CommandLineUtf8();
    if (!arguments.empty()) {
        arguments.erase(arguments.begin());
    }
    return arguments;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    WSADATA sockets{};
    const bool started = WSAStartup(kSocketVersion, &sockets) == 0;
    if (!started || sockets.wVersion != kSocketVersion) {
        if (started) {
            WSACleanup();
        }
        wchar_t text[kStringChars] = {};
        LoadStringW(instance, tarvik::res::kSocketFailString, text, kStringChars);
        MessageBoxW(nullptr, text, tarvik::AppName().c_str(), MB_OK);
        return 0;
    }
    // The progress bar's window class.
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    {
        tarvik::CUpgradeDlg window;
        window.SetArguments(Arguments());
        window.DoModal();
    }  // the reader has ended and the port is closed here
    WSACleanup();
    return 0;
}
