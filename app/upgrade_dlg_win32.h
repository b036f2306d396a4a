// CUpgradeDlg on Windows: the tool's only working window, dialog template 102 of the
// program's resources, in plain Win32. What it decides lives in CUpgradeWindowLogic (shared
// with the Qt window); this class draws it: timers 1 to 3 are window timers, the reader
// thread announces each reply with the private message WM_FRAME_RECEIVED, message boxes
// carry the executable's name, and the Open/Close button is an owner-drawn CImageButton.
//
// Threads: everything runs on the window's thread, except RequestReplyDelivery, which the
// reader thread calls.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "app/window_logic.h"
#include "controls/image_button_win32.h"
#include "settings/settings.h"

namespace tarvik {

// The reader thread's message to the window: a reply waits in the hand-over.
inline constexpr UINT WM_FRAME_RECEIVED = 104;

// The application's name: the executable's file name without its extension.
std::wstring AppName();
// The About box (template 100), modal over `owner`.
void ShowAboutBox(HWND owner);

class CUpgradeDlg : public IUpgradeView {
public:
    // The settings are read from and saved to `settingsPath` (by default
    // c:\tools-tarvik.ini, or its per-user fallback).
    explicit CUpgradeDlg(std::string settingsPath = SettingsFilePath());
    // The window must be gone (or never made): its reader has then ended.
    ~CUpgradeDlg() override;

    CUpgradeDlg(const CUpgradeDlg&) = delete;
    CUpgradeDlg& operator=(const CUpgradeDlg&) = delete;

    // The program's arguments after its name (--log FILE), applied once the window is made.
    void SetArguments(std::vector<std::string> arguments) { m_arguments = std::move(arguments); }
    // Runs the window modally; IDOK (Exit, Enter) or IDCANCEL (Esc, close box).
    INT_PTR DoModal(HWND parent = nullptr);
    // Makes the window without running it (its owner's message loop drives it).
    HWND Create(HWND parent = nullptr);
    HWND Handle() const { return m_hwnd; }
    HWND Item(int id) const { return GetDlgItem(m_hwnd, id); }

    // Handlers of the buttons and of the system menu.
    void OnOpenClose() { m_logic.OnOpenClose(); }
    void OnBrowse() { m_logic.OnBrowse(); }
    void OnStart() { m_logic.OnStart(); }
    void OnStop() { m_logic.OnStop(); }
    void OnSysCommand(UINT commandId);

    CUpgradeWindowLogic& Logic() { return m_logic; }
    CImageButton& OpenCloseButton() { return m_openClose; }
    bool IsTimerActive(int id) const;

    // The operator's choice of image file; replaceable so that a test can choose without the
    // file dialog. Returns UTF-8, empty when cancelled.
    std::function<std::string()> chooseImageFile;

    // IUpgradeView
    TARVIK_UPGRADE_VIEW_OVERRIDES

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnInitDialog();
    void OnCommand(int id, int code);
    // Ends the modal window with `result`; an upgrade still running is recorded first.
    void End(INT_PTR result);
    std::string ChooseImageWithDialog();
    // 0 .. 2 for window timers 1 .. 3, else -1.
    static int TimerIndex(int id);

    CUpgradeWindowLogic m_logic;
    std::vector<std::string> m_arguments;
    CImageButton m_openClose;
    HWND m_hwnd = nullptr;
    HICON m_icon = nullptr;
    HICON m_smallIcon = nullptr;
    bool m_timers[3] = {};  // which window timers are armed
};

}  // namespace tarvik
