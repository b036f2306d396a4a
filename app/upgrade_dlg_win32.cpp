#include "app/upgrade_dlg_win32.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <vector>

#include "res/resource.h"
#include "serial/wide_text.h"
#include "settings/settings.h"

namespace tarvik {

namespace {

constexpr COLORREF kLampTransparent =
    RGB(kLampTransparentRgb[0], kLampTransparentRgb[1], kLampTransparentRgb[2]);
constexpr int kTimerCount = 3;
// Room for the file dialog's answer, in characters (a long path on a current Windows).
constexpr DWORD kChosenPathChars = 32768;
constexpr WORD kChineseLanguage = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
// Room for string 101.
constexpr int kStringChars = 256;

std::wstring Wide(const std::string& utf8) {
    return WideFromUtf8(utf8);
}

// Places `window` in the middle of `owner`, or of the work area without one, as a dialog of
// the tool has always opened; kept inside the work area.
void CenterWindow(HWND window, HWND owner) {
    RECT area;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    RECT over = area;
    if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner)) {
        GetWindowRect(owner, &over);
    }
    RECT own;
    GetWindowRect(window, &own);
    const LONG width = own.right - own.left;
    const LONG height = own.bottom - own.top;
    LONG x = over.left + (over.right - over.left - width) / 2;
    LONG y = over.top + (over.bottom - over.top - height) / 2;
    x = std::max(area.left, std::min(x, area.right - width));
    y = std::max(area.top, std::min(y, area.bottom - height));
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK AboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            CenterWindow(hwnd, GetWindow(hwnd, GW_OWNER));
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(hwnd, LOWORD(wParam));
                return TRUE;
            }
            break;
        default:
            break;
    }
    return FALSE;
}

}  // namespace

std::wstring AppName() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return Wide(AppNameOf(Utf8FromWide(path), "\\/"));
}

void ShowAboutBox(HWND owner) {
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(res::kAboutDialog), owner,
                    AboutProc, 0);
}

CUpgradeDlg::CUpgradeDlg(std::string settingsPath) : m_logic(*this, std::move(settingsPath)) {
    HINSTANCE module = GetModuleHandleW(nullptr);
    m_icon =
        static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(res::kAppIcon), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    m_smallIcon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(res::kAppIcon), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON),
                                                GetSystemMetrics(SM_CYSMICON), 0));
}

CUpgradeDlg::~CUpgradeDlg() {
    if (m_hwnd != nullptr) {
        DestroyWindow(m_hwnd);
    }
    m_logic.Shutdown();
    for (HICON icon : {m_icon, m_smallIcon}) {
        if (icon != nullptr) {
            DestroyIcon(icon);
        }
    }
}

INT_PTR CUpgradeDlg::DoModal(HWND parent) {
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(res::kMainDialog), parent,
                           DialogProc, reinterpret_cast<LPARAM>(this));
}

HWND CUpgradeDlg::Create(HWND parent) {
    return CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(res::kMainDialog), parent,
                              DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CUpgradeDlg::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CUpgradeDlg*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CUpgradeDlg*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->m_hwnd = hwnd;
    }
    if (self == nullptr) {
        return FALSE;
    }
    const INT_PTR result = self->OnMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        self->m_hwnd = nullptr;
    }
    return result;
}

INT_PTR CUpgradeDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            OnInitDialog();
            return TRUE;  // the focus goes to the first control that takes it
        case WM_SYSCOMMAND:
            if ((wParam & res::kSysCommandIdMask) == res::kAboutCommand) {
                OnSysCommand(static_cast<UINT>(wParam));
                return TRUE;
            }
            return FALSE;  // the platform's own commands: default handling
        case WM_FRAME_RECEIVED:
            m_logic.DeliverReply();
            return TRUE;
        case WM_TIMER:
            m_logic.OnTimer(static_cast<int>(wParam));
            return TRUE;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (item->CtlID == static_cast<UINT>(res::kOpenCloseButton)) {
                m_openClose.DrawItem(*item);
                return TRUE;
            }
            return FALSE;
        }
        case WM_PAINT:
            if (IsIconic(m_hwnd)) {
                PAINTSTRUCT paint;
                HDC dc = BeginPaint(m_hwnd, &paint);
                SendMessageW(m_hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
                RECT client;
                GetClientRect(m_hwnd, &client);
                const int x = (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2;
                const int y = (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2;
                DrawIcon(dc, x, y, m_icon);
                EndPaint(m_hwnd, &paint);
                return TRUE;
            }
            return FALSE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(m_icon);
        case WM_CLOSE:
            // The close box, Alt+F4 and the system menu's close item come here; Exit, Enter
            // and Esc end the window without it and save nothing.
            m_logic.SaveSettings();
            return FALSE;  // default handling: Cancel
        case WM_DESTROY:
            for (int id = kResendTimer; id < kResendTimer + kTimerCount; ++id) {
                StopTimer(id);
            }
            // The reader announces replies to this window: it ends before the window does.
            m_logic.Shutdown();
            return FALSE;
        default:
            return FALSE;
    }
}

void CUpgradeDlg::OnInitDialog() {
    HMENU systemMenu = GetSystemMenu(m_hwnd, FALSE);
    if (systemMenu != nullptr) {
        wchar_t about[kStringChars] = {};
        if (LoadStringW(GetModuleHandleW(nullptr), res::kAboutItemString, about, kStringChars) >
            0) {
            AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(systemMenu, MF_STRING, res::kAboutCommand, about);
        }
    }
    SendMessageW(m_hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
    SendMessageW(m_hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_smallIcon));
    m_openClose.Attach(Item(res::kOpenCloseButton));
    CenterWindow(m_hwnd, GetWindow(m_hwnd, GW_OWNER));
    m_logic.OnInitDialog();
    m_openClose.SetFlatLook(false, true);
    m_logic.ApplyCommandLine(m_arguments);
}

void CUpgradeDlg::End(INT_PTR result) {
    m_logic.OnWindowEnding();
    EndDialog(m_hwnd, result);
}

void CUpgradeDlg::OnCommand(int id, int code) {
    if (code != BN_CLICKED) {
        return;
    }
    switch (id) {
        case res::kBrowseButton:
            OnBrowse();
            break;
        case res::kStartButton:
            OnStart();
            break;
        case res::kOpenCloseButton:
            OnOpenClose();
            break;
        case res::kStopButton:
            OnStop();
            break;
        case IDOK:
            // Enter. On a push button the dialog manager presses that button instead, but it
            // does not count the owner-drawn lamp button as one and would end the window in
            // the middle of the operator's work: press it here, as every other button is.
            if (GetFocus() == Item(res::kOpenCloseButton)) {
                OnOpenClose();
                break;
            }
            // On the file box while an upgrade runs, Enter does nothing.
            if (m_logic.EnterEndsWindow()) {
                End(IDOK);
            }
            break;
        case res::kExitButton:  // Exit ends with OK, as Enter does; nothing is saved
            End(IDOK);
            break;
        case IDCANCEL:  // Esc, and the default handling of the close box
            End(IDCANCEL);
            break;
        default:
            break;
    }
}

void CUpgradeDlg::OnSysCommand(UINT commandId) {
    if ((commandId & res::kSysCommandIdMask) == res::kAboutCommand) {
        ShowAboutBox(m_hwnd);
        return;
    }
    SendMessageW(m_hwnd, WM_SYSCOMMAND, commandId, 0);
}

bool CUpgradeDlg::IsTimerActive(int id) const {
    const int index = TimerIndex(id);
    return index >= 0 && m_timers[index];
}

// ---- Drawing what the logic decides ----

void CUpgradeDlg::InsertListItem(int listId, int index, const std::string& utf8) {
    SendDlgItemMessageW(m_hwnd, listId, CB_INSERTSTRING, static_cast<WPARAM>(index),
                        reinterpret_cast<LPARAM>(Wide(utf8).c_str()));
}

void CUpgradeDlg::SelectListItem(int listId, int index) {
    SendDlgItemMessageW(m_hwnd, listId, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int CUpgradeDlg::ListSelection(int listId) const {
    const LRESULT selected = SendDlgItemMessageW(m_hwnd, listId, CB_GETCURSEL, 0, 0);
    return selected == CB_ERR ? -1 : static_cast<int>(selected);
}

void CUpgradeDlg::SetControlText(int id, const std::string& utf8) {
    SetDlgItemTextW(m_hwnd, id, Wide(utf8).c_str());
}

std::string CUpgradeDlg::ControlText(int id) const {
    return Utf8FromWide(WindowText(Item(id)));
}

void CUpgradeDlg::EnableControl(int id, bool enabled) {
    EnableWindow(Item(id), enabled ? TRUE : FALSE);
}

bool CUpgradeDlg::IsControlEnabled(int id) const {
    return IsWindowEnabled(Item(id)) != FALSE;
}

int CUpgradeDlg::FocusedControl() const {
    HWND holder = GetFocus();
    if (holder == nullptr || !IsChild(m_hwnd, holder)) {
        return res::kNoId;
    }
    // A list's edit field holds the focus on behalf of its list.
    HWND parent = GetParent(holder);
    return GetDlgCtrlID(parent != m_hwnd ? parent : holder);
}

void CUpgradeDlg::FocusControl(int id) {
    // Through the dialog manager, so that the default-button look follows the focus.
    SendMessageW(m_hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(id)), TRUE);
}

void CUpgradeDlg::ShowLamp(int bitmapId) {
    m_openClose.LoadStateBitmaps(bitmapId, kLampTransparent, 0, 0);
}

void CUpgradeDlg::SetProgressRange(uint32_t minimum, uint32_t maximum) {
    SendDlgItemMessageW(m_hwnd, res::kProgressBar, PBM_SETRANGE32,
                        static_cast<WPARAM>(std::min<uint32_t>(minimum, INT_MAX)),
                        static_cast<LPARAM>(std::min<uint32_t>(maximum, INT_MAX)));
}

void CUpgradeDlg::SetProgressPos(uint32_t position) {
    // The bar pins a position outside its range to the nearer end.
    SendDlgItemMessageW(m_hwnd, res::kProgressBar, PBM_SETPOS,
                        static_cast<WPARAM>(std::min<uint32_t>(position, INT_MAX)), 0);
}

int CUpgradeDlg::TimerIndex(int id) {
    const int index = id - kResendTimer;
    return (index >= 0 && index < kTimerCount) ? index : -1;
}

void CUpgradeDlg::ArmTimer(int id, std::chrono::milliseconds period) {
    const int index = TimerIndex(id);
    if (index < 0) {
        return;
    }
    // Setting a timer id that runs replaces its period.
    if (SetTimer(m_hwnd, static_cast<UINT_PTR>(id), static_cast<UINT>(period.count()), nullptr) !=
        0) {
        m_timers[index] = true;
    }
}

void CUpgradeDlg::StopTimer(int id) {
    const int index = TimerIndex(id);
    if (index < 0) {
        return;
    }
    KillTimer(m_hwnd, static_cast<UINT_PTR>(id));
    m_timers[index] = false;
}

void CUpgradeDlg::ShowMessage(const std::string& utf8) {
    // The button in the tool's language where the system has it (确定), as every other text.
    MessageBoxExW(m_hwnd, Wide(utf8).c_str(), AppName().c_str(), MB_OK, kChineseLanguage);
}

std::string CUpgradeDlg::ChooseImageFile() {
    return chooseImageFile ? chooseImageFile() : ChooseImageWithDialog();
}

std::string CUpgradeDlg::ChooseImageWithDialog() {
    // Each filter is its text followed by its pattern; the list ends with an empty text.
    std::wstring filters;
    for (const auto& [label, pattern] :
         {std::pair{text::kFilterBin, "*.bin"}, std::pair{text::kFilterAll, "*.*"}}) {
        filters += Wide(label);
        filters += L'\0';
        filters += Wide(pattern);
        filters += L'\0';
    }
    std::vector<wchar_t> chosen(kChosenPathChars, L'\0');
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = m_hwnd;
    dialog.lpstrFilter = filters.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = chosen.data();
    dialog.nMaxFile = kChosenPathChars;
    // The read-only check box is shown, and ticked: the tool only ever reads the image.
    dialog.Flags =
        OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_READONLY | OFN_EXPLORER | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameW(&dialog)) {
        return std::string();
    }
    return Utf8FromWide(chosen.data());
}

std::string CUpgradeDlg::PathSeparators() const {
    return "\\/";
}

void CUpgradeDlg::RequestReplyDelivery() {
    // Reader thread. The message is a sent one, handled by the window's thread ahead of its
    // posted input, between its other messages, also inside a message box; it does not wait
    // for that: the reader waits in the hand-over instead, which the window's shutdown can
    // release, so ending the window while a reply is on its way never deadlocks.
    SendNotifyMessageW(m_hwnd, WM_FRAME_RECEIVED, 0, 0);
}

}  // namespace tarvik
