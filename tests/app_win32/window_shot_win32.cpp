// Not a test: takes the documentation's picture of the Windows window after a finished
// upgrade. With the simulated board linked as COM<n> of the prefix:
//
//   window_shot_win32.exe <n> OUT.bmp
//
// It opens COM<n>, chooses a small image, presses Start, waits for 升级成功 and writes the
// whole window (caption and frame included, as the screen shows it) to OUT.bmp. Run it in a
// Wine virtual desktop, which draws the caption itself (see docs/make-window-windows-shot).
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/upgrade_dlg_win32.h"
#include "res/resource.h"
#include "serial/wide_text.h"
#include "upgrade/texts.h"
#include "win32_support.h"

namespace {

constexpr size_t kImageLength = 96 * 1024 + 40;
constexpr std::chrono::milliseconds kSettle{500};  // repaints after the last change

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: window_shot_win32 COM-NUMBER OUT.bmp\n");
        return 2;
    }
    const int com = std::atoi(argv[1]);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    tarvik::testing::CTempFolder folder;
    const std::string image = folder.File("relay_v2.bin");
    tarvik::testing::WriteBytes(image, tarvik::testing::GoodImage(kImageLength));

    tarvik::CUpgradeDlg dlg(folder.File("tools-tarvik.ini"));
    HWND hwnd = dlg.Create();
    SetWindowPos(hwnd, HWND_TOP, 20, 20, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
    SendDlgItemMessageW(hwnd, tarvik::res::kPortList, CB_SETCURSEL, static_cast<WPARAM>(com - 1),
                        0);
    dlg.OnOpenClose();
    dlg.chooseImageFile = [&] { return image; };
    dlg.OnBrowse();
    dlg.OnStart();
    const bool done = tarvik::testing::PumpUntil(hwnd, [&] {
        return dlg.ControlText(tarvik::res::kStatusLine) == tarvik::text::kUpgradeSucceeded;
    });
    if (!done) {
        std::fprintf(stderr, "window_shot_win32: no success: %s\n",
                     dlg.ControlText(tarvik::res::kStatusLine).c_str());
        return 1;
    }
    tarvik::testing::PumpFor(hwnd, kSettle);
    tarvik::testing::WriteWindowBitmap(argv[2], hwnd);
    DestroyWindow(hwnd);
    return 0;
}
