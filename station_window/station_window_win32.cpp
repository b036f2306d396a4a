#include "station_window/station_window_win32.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <chrono>
#include <tuple>

#include "res/resource.h"
#include "serial/wide_text.h"
#include "settings/list_items.h"
#include "station/station_options.h"
#include "station_window/station_resource.h"

namespace tarvik::station {

namespace {

constexpr wchar_t kWindowClass[] = L"TarvikStation";
constexpr wchar_t kPanelClass[] = L"TarvikStationPanel";
constexpr char kWindowTitle[] = "批量升级";
constexpr wchar_t kFontFace[] = L"宋体";

// Window timers.
constexpr UINT_PTR kRedrawTimer = 1;
constexpr UINT_PTR kBeepTimer = 2;

// Layout, pixels at the default 96 dpi.
constexpr int kMargin = 8;
constexpr int kGap = 6;
constexpr int kRowHeight = 24;
constexpr int kLabelWidth = 64;
constexpr int kBrowseWidth = 64;
constexpr int kPortListWidth = 330;
constexpr int kStripHeight = 3 * kRowHeight + 2 * kGap + 40;
constexpr int kDropHeight = 200;  // a drop-down list's open height
constexpr int kSmallListWidth = 72;
constexpr int kSoundsWidth = 64;
constexpr int kButtonWidth = 96;
constexpr int kButtonHeight = 34;
constexpr int kNoticeHeight = 24;
constexpr int kTotalsHeight = 22;
constexpr int kRecordsHeight = 132;
constexpr int kFirstWidth = 1280;
constexpr int kFirstHeight = 720;
constexpr int kControlFontPixels = 14;
constexpr int kBoldFontPixels = 16;
// The big word is read from a step or two away from the fixture: a share of the panel's
// height, within these bounds.
constexpr double kWordShare = 0.26;
constexpr int kWordMinPixels = 18;
constexpr int kWordMaxPixels = 48;
constexpr int kBarHeight = 14;
constexpr int kPanelBorder = 2;
constexpr COLORREF kPanelBackground = RGB(250, 250, 250);
constexpr COLORREF kPanelEdge = RGB(160, 160, 160);
constexpr COLORREF kBarTrack = RGB(225, 225, 225);
constexpr COLORREF kNoticeText = RGB(255, 255, 255);

// Columns of the port list and of the records, pixels.
constexpr int kPortNameColumn = 70;
constexpr int kPortAboutColumn = 236;
constexpr int kRecordColumnWidths[] = {210, 80, 60, 110, 100, 80};

// Room for the file dialog's answer, in characters (a long path on a current Windows).
constexpr DWORD kChosenPathChars = 32768;
constexpr size_t kItemTextChars = 256;

std::wstring Wide(const std::string& utf8) {
    return WideFromUtf8(utf8);
}

COLORREF ColourOf(PanelColour colour) {
    const uint32_t rgb = ColourRgb(colour);
    return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

bool SamePanel(const PanelView& a, const PanelView& b) {
    return a.name == b.name && a.word == b.word && a.colour == b.colour && a.line == b.line &&
           a.lineColour == b.lineColour && a.percent == b.percent && a.counters == b.counters;
}

HFONT MakeFont(int pixels, int weight) {
    return CreateFontW(-pixels, 0, 0, 0, weight, FALSE, FALSE, FALSE, GB2312_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, kFontFace);
}

// The stop question's buttons carry what they do (停止, 继续升级) instead of 是 and 否: the
// box is made by the system, so its buttons are renamed as it is shown.
HHOOK g_askHook = nullptr;
LRESULT CALLBACK RenameAskButtons(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        HWND box = reinterpret_cast<HWND>(wParam);
        SetDlgItemTextW(box, IDYES, L"停止");
        SetDlgItemTextW(box, IDNO, L"继续升级");
        UnhookWindowsHookEx(g_askHook);
        g_askHook = nullptr;
        return 0;
    }
    return CallNextHookEx(g_askHook, code, wParam, lParam);
}

}  // namespace

CStationWindow::CStationWindow(std::unique_ptr<IStationSource> source, std::string settingsPath,
                               StationCommandLine line, std::vector<PresentPort> present)
    : m_source(std::move(source)),
      m_settingsPath(std::move(settingsPath)),
      m_line(std::move(line)),
      m_present(std::move(present)) {
    HINSTANCE module = GetModuleHandleW(nullptr);
    m_icon =
        static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(TARVIK_STATION_ICON), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    m_smallIcon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(TARVIK_STATION_ICON),
                                                IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                GetSystemMetrics(SM_CYSMICON), 0));
    m_font = MakeFont(kControlFontPixels, FW_NORMAL);
    m_boldFont = MakeFont(kBoldFontPixels, FW_BOLD);
    m_noticeBrush = CreateSolidBrush(ColourOf(PanelColour::Red));
    askStop = [this](const std::string& text) { return AskStopWithBox(text); };
    showMessage = [this](const std::string& text) {
        MessageBoxW(m_hwnd, Wide(text).c_str(), Wide(kWindowTitle).c_str(), MB_OK | MB_ICONWARNING);
    };
    beep = [] { MessageBeep(MB_OK); };
    chooseFile = [this](bool image, const std::string& current) {
        return ChooseWithDialog(image, current);
    };
}

CStationWindow::~CStationWindow() {
    if (m_hwnd != nullptr) {
        DestroyWindow(m_hwnd);
    }
    if (m_running) {
        // The window went without its question (its owner ended): the boards are stopped
        // and recorded all the same, and the worker joined before the source goes.
        m_source->Stop();
    }
    for (HGDIOBJ object : {static_cast<HGDIOBJ>(m_font), static_cast<HGDIOBJ>(m_boldFont),
                           static_cast<HGDIOBJ>(m_wordFont), static_cast<HGDIOBJ>(m_noticeBrush)}) {
        if (object != nullptr) {
            DeleteObject(object);
        }
    }
    for (HICON icon : {m_icon, m_smallIcon}) {
        if (icon != nullptr) {
            DestroyIcon(icon);
        }
    }
}

bool CStationWindow::Create() {
    HINSTANCE module = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = module;
    windowClass.hIcon = m_icon;
    windowClass.hIconSm = m_smallIcon;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassExW(&windowClass);  // a second window finds it registered
    WNDCLASSEXW panelClass{};
    panelClass.cbSize = sizeof panelClass;
    panelClass.lpfnWndProc = PanelProc;
    panelClass.hInstance = module;
    panelClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    panelClass.lpszClassName = kPanelClass;
    RegisterClassExW(&panelClass);
    if (CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, Wide(kWindowTitle).c_str(),
                        WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT,
                        kFirstWidth, kFirstHeight, nullptr, nullptr, module, this) == nullptr) {
        return false;
    }
    if (m_line.start) {
        OnStart();  // a start that fails with --count ends the window here already
    }
    return true;
}

void CStationWindow::Run(int show) {
    if (m_hwnd == nullptr) {
        return;
    }
    ShowWindow(m_hwnd, show);
    UpdateWindow(m_hwnd);
    m_inRun = true;
    MSG message;
    while (m_hwnd != nullptr && GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Tab moves between the controls. Enter and Esc become IDOK and IDCANCEL here, which
        // this window ignores: no key stops or closes anything.
        if (!IsDialogMessageW(m_hwnd, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    m_inRun = false;
}

LRESULT CALLBACK CStationWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CStationWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        self = static_cast<CStationWindow*>(create->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->m_hwnd = hwnd;
    }
    if (self == nullptr) {
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    const LRESULT result = self->OnMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self->m_hwnd = nullptr;
    }
    return result;
}

LRESULT CALLBACK CStationWindow::PanelProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_ERASEBKGND:
            return 1;  // painted whole in WM_PAINT, through a bitmap: no flicker
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(hwnd, &paint);
            auto* self = reinterpret_cast<CStationWindow*>(
                GetWindowLongPtrW(GetParent(hwnd), GWLP_USERDATA));
            const int index = GetDlgCtrlID(hwnd) - kFirstPanel;
            if (self != nullptr && index >= 0) {
                self->PaintPanel(hwnd, dc, static_cast<size_t>(index));
            }
            EndPaint(hwnd, &paint);
            return 0;
        }
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

HWND CStationWindow::Make(const wchar_t* className, const std::string& text, DWORD style, int id) {
    HWND control = CreateWindowExW(
        0, className, Wide(text).c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, m_hwnd,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(m_font), FALSE);
    return control;
}

std::string CStationWindow::Text(int id) const {
    HWND control = GetDlgItem(m_hwnd, id);
    const int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    GetWindowTextW(control, text.data(), length + 1);
    text.resize(static_cast<size_t>(length));
    return Utf8FromWide(text);
}

LRESULT CStationWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            OnCreate();
            return 0;
        case WM_SIZE:
            Layout();
            return 0;
        case WM_GETMINMAXINFO: {
            auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
            info->ptMinTrackSize = {kFirstWidth / 2, kFirstHeight / 2};
            return 0;
        }
        case WM_TIMER:
            if (wParam == kRedrawTimer) {
                Refresh();
            } else if (wParam == kBeepTimer) {
                OnBeepTimer();
            }
            return 0;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            return 0;
        case WM_CTLCOLORSTATIC:
            if (reinterpret_cast<HWND>(lParam) == GetDlgItem(m_hwnd, kNoticeLine)) {
                HDC dc = reinterpret_cast<HDC>(wParam);
                SetTextColor(dc, kNoticeText);
                SetBkColor(dc, ColourOf(PanelColour::Red));
                return reinterpret_cast<LRESULT>(m_noticeBrush);
            }
            return DefWindowProcW(m_hwnd, message, wParam, lParam);
        case WM_CLOSE:
            Close();
            return 0;
        case WM_DESTROY:
            KillTimer(m_hwnd, kRedrawTimer);
            KillTimer(m_hwnd, kBeepTimer);
            // Only Run's own loop ends with the window: another loop that drives it (a test's,
            // an owner's modal box) would end with a stray quit message instead.
            if (m_inRun) {
                PostQuitMessage(m_exitCode);
            }
            return 0;
        default:
            return DefWindowProcW(m_hwnd, message, wParam, lParam);
    }
}

void CStationWindow::OnCreate() {
    SendMessageW(m_hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
    SendMessageW(m_hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_smallIcon));
    int label = kFirstLabel;
    Make(L"STATIC", "固件文件", SS_LEFT, label++);
    Make(L"EDIT", "", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, kImageBox);
    Make(L"BUTTON", "浏览", WS_TABSTOP | BS_PUSHBUTTON, kImageBrowse);
    Make(L"STATIC", "记录文件", SS_LEFT, label++);
    Make(L"EDIT", "", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, kLogBox);
    Make(L"BUTTON", "浏览", WS_TABSTOP | BS_PUSHBUTTON, kLogBrowse);
    Make(L"STATIC", "串口", SS_LEFT, label++);
    HWND ports =
        Make(WC_LISTVIEWW, "",
             WS_BORDER | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_NOSORTHEADER, kPortList);
    ListView_SetExtendedListViewStyle(ports, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
    int portColumn = 0;
    for (const auto& [title, width] :
         {std::pair{L"串口", kPortNameColumn}, std::pair{L"设备", kPortAboutColumn}}) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = const_cast<wchar_t*>(title);
        column.cx = width;
        ListView_InsertColumn(ports, portColumn++, &column);
    }
    const std::pair<int, int> lists[] = {{kParityList, res::kParityList},
                                         {kDataBitsList, res::kDataBitsList},
                                         {kStopBitsList, res::kStopBitsList}};
    const char* listLabels[] = {"效验位", "数据位", "停止位"};
    for (size_t i = 0; i < std::size(lists); ++i) {
        Make(L"STATIC", listLabels[i], SS_LEFT, label++);
        HWND list =
            Make(WC_COMBOBOXW, "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, lists[i].first);
        for (const std::string& item : ListItems(lists[i].second)) {
            SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
        }
    }
    Make(L"BUTTON", "声音", WS_TABSTOP | BS_AUTOCHECKBOX, kSoundsBox);
    Make(L"BUTTON", "开始", WS_TABSTOP | BS_PUSHBUTTON, kStartButton);
    // 停止 is no tab stop, so no key held or tapped by accident reaches it.
    Make(L"BUTTON", "停止", BS_PUSHBUTTON, kStopButton);
    Make(L"STATIC", "", SS_LEFT | SS_CENTERIMAGE | SS_NOPREFIX, kNoticeLine);
    ShowWindow(GetDlgItem(m_hwnd, kNoticeLine), SW_HIDE);
    HWND totals = Make(L"STATIC", "", SS_LEFT | SS_NOPREFIX, kTotalsLine);
    SendMessageW(totals, WM_SETFONT, reinterpret_cast<WPARAM>(m_boldFont), FALSE);
    HWND records = Make(WC_LISTVIEWW, "", WS_BORDER | LVS_REPORT | LVS_NOSORTHEADER, kRecordList);
    ListView_SetExtendedListViewStyle(records, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    const std::vector<std::string> titles = RecordColumnTitles();
    for (size_t i = 0; i < titles.size() && i < std::size(kRecordColumnWidths); ++i) {
        std::wstring title = Wide(titles[i]);
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = title.data();
        column.cx = kRecordColumnWidths[i];
        ListView_InsertColumn(records, static_cast<int>(i), &column);
    }
    LoadStrip();
    SetRunning(false);
}

void CStationWindow::LoadStrip() {
    m_settings = ApplyCommandLine(LoadStationSettings(m_settingsPath), m_line);
    SetDlgItemTextW(m_hwnd, kImageBox, Wide(m_settings.image).c_str());
    const std::string log =
        m_settings.log.empty() ? DefaultLogPath(DocumentsFolder(), std::chrono::system_clock::now())
                               : m_settings.log;
    SetDlgItemTextW(m_hwnd, kLogBox, Wide(log).c_str());
    for (const auto& [id, index] : {std::pair{kParityList, m_settings.parityIndex},
                                    std::pair{kDataBitsList, m_settings.dataBitsIndex},
                                    std::pair{kStopBitsList, m_settings.stopBitsIndex}}) {
        const LRESULT count = SendDlgItemMessageW(m_hwnd, id, CB_GETCOUNT, 0, 0);
        SendDlgItemMessageW(m_hwnd, id, CB_SETCURSEL, index >= 0 && index < count ? index : 0, 0);
    }
    CheckDlgButton(m_hwnd, kSoundsBox, m_settings.sounds ? BST_CHECKED : BST_UNCHECKED);
    HWND list = GetDlgItem(m_hwnd, kPortList);
    ListView_DeleteAllItems(list);
    m_listedPorts.clear();
    for (const PortChoice& choice : PortChoices(m_present, m_settings.ports)) {
        // The name in the first column, what the system says of the adapter in the second.
        std::wstring name = Wide(choice.name);
        std::string about = choice.label.substr(std::min(choice.label.size(), choice.name.size()));
        about.erase(0, about.find_first_not_of(' ') == std::string::npos
                           ? about.size()
                           : about.find_first_not_of(' '));
        std::wstring aboutText = Wide(about);
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(m_listedPorts.size());
        item.pszText = name.data();
        const int row = ListView_InsertItem(list, &item);
        ListView_SetItemText(list, row, 1, aboutText.data());
        ListView_SetCheckState(list, row, choice.checked);
        m_listedPorts.push_back(choice.name);
    }
    MakePanels(m_settings.ports);
    SetDlgItemTextW(m_hwnd, kTotalsLine, Wide(TotalsText(SumTotals({}))).c_str());
}

StationSettings CStationWindow::StripSettings() const {
    const auto trimmed = [](std::string text) {
        const size_t first = text.find_first_not_of(" \t");
        if (first == std::string::npos) {
            return std::string();
        }
        return text.substr(first, text.find_last_not_of(" \t") - first + 1);
    };
    StationSettings settings;
    settings.image = trimmed(Text(kImageBox));
    settings.log = trimmed(Text(kLogBox));
    HWND list = GetDlgItem(m_hwnd, kPortList);
    for (size_t row = 0; row < m_listedPorts.size(); ++row) {
        if (ListView_GetCheckState(list, static_cast<int>(row))) {
            settings.ports.push_back(m_listedPorts[row]);
        }
    }
    settings.parityIndex =
        static_cast<int>(SendDlgItemMessageW(m_hwnd, kParityList, CB_GETCURSEL, 0, 0));
    settings.dataBitsIndex =
        static_cast<int>(SendDlgItemMessageW(m_hwnd, kDataBitsList, CB_GETCURSEL, 0, 0));
    settings.stopBitsIndex =
        static_cast<int>(SendDlgItemMessageW(m_hwnd, kStopBitsList, CB_GETCURSEL, 0, 0));
    settings.sounds = IsDlgButtonChecked(m_hwnd, kSoundsBox) == BST_CHECKED;
    return settings;
}

void CStationWindow::SaveStrip() {
    StationSettings settings = StripSettings();
    // A shortcut's --port is for its own runs: what the operator chose by hand is
    // remembered, not what one shortcut said.
    if (!m_line.ports.empty()) {
        settings.ports = LoadStationSettings(m_settingsPath).ports;
    }
    SaveStationSettings(m_settingsPath, settings);
}

void CStationWindow::MakePanels(const std::vector<std::string>& ports) {
    for (HWND panel : m_panelWindows) {
        DestroyWindow(panel);
    }
    m_panelWindows.clear();
    m_panels.clear();
    for (size_t i = 0; i < ports.size(); ++i) {
        PortLook idle;
        idle.name = ports[i];
        m_panels.push_back(MakePanel(idle));
        m_panelWindows.push_back(CreateWindowExW(
            0, kPanelClass, Wide(ports[i]).c_str(), WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, m_hwnd,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstPanel + static_cast<int>(i))),
            GetModuleHandleW(nullptr), nullptr));
    }
    Layout();
}

void CStationWindow::Layout() {
    if (m_hwnd == nullptr || GetDlgItem(m_hwnd, kRecordList) == nullptr) {
        return;  // still being made
    }
    RECT client;
    GetClientRect(m_hwnd, &client);
    const int width = client.right;
    const int height = client.bottom;
    const auto place = [this](int id, int x, int y, int w, int h) {
        MoveWindow(GetDlgItem(m_hwnd, id), x, y, std::max(w, 0), std::max(h, 0), TRUE);
    };
    // The strip: files and line settings on the left, the port list, then the buttons.
    const int buttonsLeft = width - kMargin - kButtonWidth;
    const int portsLeft = buttonsLeft - kGap - kPortListWidth;
    const int fieldsRight = portsLeft - 2 * kGap - kLabelWidth / 2;
    int label = kFirstLabel;
    int y = kMargin;
    for (const auto& [box, browse] :
         {std::pair{kImageBox, kImageBrowse}, std::pair{kLogBox, kLogBrowse}}) {
        place(label++, kMargin, y + 4, kLabelWidth, kRowHeight - 4);
        const int boxLeft = kMargin + kLabelWidth;
        place(box, boxLeft, y, fieldsRight - kBrowseWidth - kGap - boxLeft, kRowHeight);
        place(browse, fieldsRight - kBrowseWidth, y, kBrowseWidth, kRowHeight);
        y += kRowHeight + kGap;
    }
    place(label++, portsLeft - kLabelWidth / 2 - kGap, kMargin + 4, kLabelWidth / 2,
          kRowHeight - 4);
    place(kPortList, portsLeft, kMargin, kPortListWidth, kStripHeight);
    int x = kMargin;
    for (const int list : {kParityList, kDataBitsList, kStopBitsList}) {
        place(label++, x, y + 4, kLabelWidth - kGap, kRowHeight - 4);
        place(list, x + kLabelWidth - kGap, y, kSmallListWidth, kDropHeight);
        x += kLabelWidth + kSmallListWidth + kGap;
    }
    place(kSoundsBox, x + kGap, y, kSoundsWidth, kRowHeight);
    place(kStartButton, buttonsLeft, kMargin, kButtonWidth, kButtonHeight);
    place(kStopButton, buttonsLeft, kMargin + kButtonHeight + kGap, kButtonWidth, kButtonHeight);
    y = kMargin + kStripHeight + kGap;
    if (m_noticeShown) {
        place(kNoticeLine, kMargin, y, width - 2 * kMargin, kNoticeHeight);
        y += kNoticeHeight + kGap;
    }

    // The totals and the records along the bottom; the panels in a grid between.
    const int recordsTop = height - kMargin - kRecordsHeight;
    place(kRecordList, kMargin, recordsTop, width - 2 * kMargin, kRecordsHeight);
    const int totalsTop = recordsTop - kGap - kTotalsHeight;
    place(kTotalsLine, kMargin, totalsTop, width - 2 * kMargin, kTotalsHeight);
    const int gridTop = y;
    const int gridHeight = totalsTop - kGap - gridTop;
    const int gridWidth = width - 2 * kMargin;
    const Grid grid = GridFor(m_panelWindows.size());
    const int columns = std::max<int>(1, static_cast<int>(grid.columns));
    const int rows = std::max<int>(1, static_cast<int>(grid.rows));
    const int cellWidth = (gridWidth - (columns - 1) * kGap) / columns;
    const int cellHeight = (gridHeight - (rows - 1) * kGap) / rows;
    for (size_t i = 0; i < m_panelWindows.size(); ++i) {
        const int column = static_cast<int>(i) % columns;
        const int row = static_cast<int>(i) / columns;
        MoveWindow(m_panelWindows[i], kMargin + column * (cellWidth + kGap),
                   gridTop + row * (cellHeight + kGap), std::max(cellWidth, 0),
                   std::max(cellHeight, 0), TRUE);
    }
    const int wordPixels =
        std::clamp(static_cast<int>(cellHeight * kWordShare), kWordMinPixels, kWordMaxPixels);
    if (m_wordFont != nullptr) {
        DeleteObject(m_wordFont);
    }
    m_wordFont = MakeFont(wordPixels, FW_BOLD);
    for (HWND panel : m_panelWindows) {
        InvalidateRect(panel, nullptr, FALSE);
    }
}

void CStationWindow::PaintPanel(HWND panel, HDC target, size_t index) {
    if (index >= m_panels.size()) {
        return;
    }
    const PanelView& shown = m_panels[index];
    RECT area;
    GetClientRect(panel, &area);
    HDC dc = CreateCompatibleDC(target);
    HBITMAP bitmap = CreateCompatibleBitmap(target, area.right, area.bottom);
    HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
    HBRUSH edge = CreateSolidBrush(kPanelEdge);
    HBRUSH back = CreateSolidBrush(kPanelBackground);
    FillRect(dc, &area, edge);
    RECT inside = area;
    InflateRect(&inside, -kPanelBorder, -kPanelBorder);
    FillRect(dc, &inside, back);
    SetBkMode(dc, TRANSPARENT);
    constexpr UINT kLineFlags = DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX;

    // The port's name along the top, its counters along the bottom.
    RECT text = inside;
    InflateRect(&text, -kGap, -kGap / 2);
    const int lineHeight = kBoldFontPixels + kGap;
    RECT top = text;
    top.bottom = top.top + lineHeight;
    HGDIOBJ oldFont = SelectObject(dc, m_boldFont);
    SetTextColor(dc, RGB(0, 0, 0));
    DrawTextW(dc, Wide(shown.name).c_str(), -1, &top, DT_LEFT | kLineFlags);
    RECT bottom = text;
    bottom.top = bottom.bottom - lineHeight;
    SelectObject(dc, m_font);
    DrawTextW(dc, Wide(shown.counters).c_str(), -1, &bottom, DT_LEFT | kLineFlags);

    // The state word in the middle; the bar and the line under it.
    RECT under = text;
    under.bottom = bottom.top;
    under.top = under.bottom - lineHeight;
    RECT word = text;
    word.top = top.bottom;
    word.bottom = under.top - (shown.percent ? kBarHeight + kGap : 0);
    SelectObject(dc, m_wordFont);
    SetTextColor(dc, ColourOf(shown.colour));
    DrawTextW(dc, Wide(shown.word).c_str(), -1, &word, DT_CENTER | kLineFlags);
    if (shown.percent) {
        RECT track{text.left + kGap, word.bottom, text.right - kGap, word.bottom + kBarHeight};
        HBRUSH trackBrush = CreateSolidBrush(kBarTrack);
        FillRect(dc, &track, trackBrush);
        DeleteObject(trackBrush);
        RECT done = track;
        done.right =
            track.left + (track.right - track.left) * std::clamp(*shown.percent, 0, 100) / 100;
        HBRUSH doneBrush = CreateSolidBrush(ColourOf(shown.colour));
        FillRect(dc, &done, doneBrush);
        DeleteObject(doneBrush);
    }
    SelectObject(dc, m_font);
    SetTextColor(dc, ColourOf(shown.lineColour));
    DrawTextW(dc, Wide(shown.line).c_str(), -1, &under, DT_CENTER | kLineFlags);

    BitBlt(target, 0, 0, area.right, area.bottom, dc, 0, 0, SRCCOPY);
    SelectObject(dc, oldFont);
    SelectObject(dc, oldBitmap);
    DeleteObject(edge);
    DeleteObject(back);
    DeleteObject(bitmap);
    DeleteDC(dc);
}

void CStationWindow::OnCommand(int id, int code) {
    if (code != BN_CLICKED) {
        return;
    }
    switch (id) {
        case kStartButton:
            OnStart();
            return;
        case kStopButton:
            OnStop();
            return;
        case kImageBrowse:
        case kLogBrowse: {
            const int box = id == kImageBrowse ? kImageBox : kLogBox;
            const std::string chosen = chooseFile(id == kImageBrowse, Text(box));
            if (!chosen.empty()) {
                SetDlgItemTextW(m_hwnd, box, Wide(chosen).c_str());
            }
            return;
        }
        default:
            return;  // IDOK and IDCANCEL (Enter, Esc) among them: no key does anything here
    }
}

std::string CStationWindow::ChooseWithDialog(bool image, const std::string& current) {
    std::wstring chosen(kChosenPathChars, L'\0');
    const std::wstring start = Wide(current);
    std::copy_n(start.begin(), std::min<size_t>(start.size(), kChosenPathChars - 1),
                chosen.begin());
    // Each filter is a name and a pattern, each ended by a nul; a second nul ends the list.
    static constexpr wchar_t kImageFilters[] = L"(*.bin)\0*.bin\0所有文件(*.*)\0*.*\0";
    static constexpr wchar_t kLogFilters[] = L"CSV (*.csv)\0*.csv\0所有文件(*.*)\0*.*\0";
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = m_hwnd;
    dialog.lpstrFilter = image ? kImageFilters : kLogFilters;
    dialog.lpstrFile = chosen.data();
    dialog.nMaxFile = kChosenPathChars;
    dialog.lpstrDefExt = image ? nullptr : L"csv";
    // The log is appended to: choosing a file that exists is no overwrite, so nothing asks.
    dialog.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_EXPLORER | OFN_PATHMUSTEXIST |
                   (image ? OFN_FILEMUSTEXIST : 0);
    const BOOL ok = image ? GetOpenFileNameW(&dialog) : GetSaveFileNameW(&dialog);
    return ok ? Utf8FromWide(chosen.c_str()) : std::string();
}

bool CStationWindow::AskStopWithBox(const std::string& text) {
    g_askHook = SetWindowsHookExW(WH_CBT, RenameAskButtons, nullptr, GetCurrentThreadId());
    // The second button (继续升级) is the default: Enter and Space keep the boards going, only
    // a deliberate click on 停止 stops them.
    const int answer = MessageBoxW(m_hwnd, Wide(text).c_str(), Wide(kAskStopTitle).c_str(),
                                   MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
    if (g_askHook != nullptr) {
        UnhookWindowsHookEx(g_askHook);
        g_askHook = nullptr;
    }
    return answer == IDYES;
}

void CStationWindow::OnStart() {
    if (m_running) {
        return;
    }
    const StationSettings settings = StripSettings();
    if (settings.image.empty()) {
        showMessage("请选择要升级的文件！");
        return;
    }
    if (settings.ports.empty()) {
        showMessage("请选择至少一个串口");
        return;
    }
    if (settings.ports.size() > kMaxPanels) {
        showMessage("最多 " + std::to_string(kMaxPanels) + " 个串口");
        return;
    }
    StationRequest request;
    request.ports = settings.ports;
    request.image = settings.image;
    request.log = settings.log.empty()
                      ? DefaultLogPath(DocumentsFolder(), std::chrono::system_clock::now())
                      : settings.log;
    SetDlgItemTextW(m_hwnd, kLogBox, Wide(request.log).c_str());
    request.count = m_line.count;
    request.stopOnFail = m_line.stopOnFail;
    request.parityIndex = settings.parityIndex;
    request.dataBitsIndex = settings.dataBitsIndex;
    request.stopBitsIndex = settings.stopBitsIndex;
    SaveStrip();

    MakePanels(request.ports);
    m_noticeShown = false;
    ShowWindow(GetDlgItem(m_hwnd, kNoticeLine), SW_HIDE);
    Layout();
    m_logFailed = false;
    m_interrupted = 0;
    if (const StartError error = m_source->Start(request)) {
        m_exitCode = error.kind == StartError::Kind::Port ? kExitPortFailed : kExitUsage;
        Notice(error.text);
        if (m_line.count) {
            // A fixture's shortcut: the run cannot begin; the box says why, the exit code
            // tells the script.
            showMessage(error.text);
            DestroyWindow(m_hwnd);
        }
        return;
    }
    SetRunning(true);
    Refresh();
}

bool CStationWindow::OnStop() {
    if (!m_running) {
        return true;
    }
    const std::vector<PortLook> look = m_source->Look();
    if (MustAskBeforeStop(look) && !askStop(AskStopText(look))) {
        // The boards go on; a click left the focus on 停止, where a key would press it again.
        SetFocus(GetDlgItem(m_hwnd, kSoundsBox));
        return false;
    }
    if (!m_running) {
        return true;  // the station ended by itself while the question was open
    }
    m_interrupted += m_source->Stop();
    Finish();
    return true;
}

bool CStationWindow::Close() {
    if (m_running && !OnStop()) {
        return false;
    }
    if (m_hwnd == nullptr) {
        return true;  // Finish of a shortcut's run has ended the window already
    }
    if (!m_line.count) {
        SaveStrip();
    }
    DestroyWindow(m_hwnd);
    return true;
}

void CStationWindow::Refresh() {
    std::vector<PortLook> look = m_source->Look();
    bool newRecords = false;
    for (const StationEvent& event : m_source->TakeEvents()) {
        m_records.Add(event.record);
        newRecords = true;
        m_beepsDue += BeepsFor(
            SoundFor(event.verdict, IsDlgButtonChecked(m_hwnd, kSoundsBox) == BST_CHECKED));
    }
    if (m_beepsDue > 0 && !m_beeping) {
        OnBeepTimer();
    }
    // Only a panel that changed is painted again.
    for (size_t i = 0; i < look.size() && i < m_panels.size(); ++i) {
        PanelView view = MakePanel(look[i]);
        if (!SamePanel(view, m_panels[i])) {
            m_panels[i] = std::move(view);
            InvalidateRect(m_panelWindows[i], nullptr, FALSE);
        }
    }
    const std::wstring totals = Wide(TotalsText(SumTotals(look)));
    wchar_t shownTotals[kItemTextChars] = {};
    GetDlgItemTextW(m_hwnd, kTotalsLine, shownTotals, kItemTextChars);
    if (totals != shownTotals) {
        SetDlgItemTextW(m_hwnd, kTotalsLine, totals.c_str());
    }
    if (newRecords) {
        ShowRecords();
    }
    if (const std::optional<std::string> failure = m_source->LogFailure();
        failure && !m_logFailed) {
        m_logFailed = true;
        Notice("记录文件无法写入，不再接收新的电路板：" + *failure);
    }
    m_lastLook = std::move(look);
    if (m_running && m_source->Ended()) {
        m_interrupted += m_source->Stop();
        Finish();
    }
}

void CStationWindow::ShowRecords() {
    HWND list = GetDlgItem(m_hwnd, kRecordList);
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    ListView_DeleteAllItems(list);
    int row = 0;
    for (const RecordRow& record : m_records.Rows()) {
        const std::string* cells[] = {&record.time,   &record.port, &record.board,
                                      &record.result, &record.step, &record.seconds};
        std::wstring first = Wide(*cells[0]);
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = row;
        item.pszText = first.data();
        ListView_InsertItem(list, &item);
        for (int column = 1; column < static_cast<int>(std::size(cells)); ++column) {
            std::wstring cell = Wide(*cells[column]);
            ListView_SetItemText(list, row, column, cell.data());
        }
        ++row;
    }
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

void CStationWindow::Finish() {
    KillTimer(m_hwnd, kRedrawTimer);
    m_running = false;
    // The boards that ended while stopping: their records, their panels.
    Refresh();
    SetRunning(false);
    m_exitCode = ExitCodeFor(SumTotals(m_lastLook), m_interrupted > 0, m_logFailed);
    if (m_line.count) {
        // The shortcut's run is over: the window ends with its code.
        DestroyWindow(m_hwnd);
    }
}

void CStationWindow::SetRunning(bool running) {
    m_running = running;
    EnableWindow(GetDlgItem(m_hwnd, kStartButton), !running);
    EnableWindow(GetDlgItem(m_hwnd, kStopButton), running);
    for (const int id : {kImageBox, kLogBox, kImageBrowse, kLogBrowse, kPortList, kParityList,
                         kDataBitsList, kStopBitsList}) {
        EnableWindow(GetDlgItem(m_hwnd, id), !running);
    }
    if (running) {
        SetTimer(m_hwnd, kRedrawTimer, static_cast<UINT>(kRedrawPeriod.count()), nullptr);
        // Nothing with a key's action keeps the focus while boards are upgraded.
        SetFocus(GetDlgItem(m_hwnd, kSoundsBox));
    }
}

void CStationWindow::Notice(const std::string& text) {
    SetDlgItemTextW(m_hwnd, kNoticeLine, Wide(text).c_str());
    m_noticeShown = true;
    ShowWindow(GetDlgItem(m_hwnd, kNoticeLine), SW_SHOW);
    Layout();
}

void CStationWindow::OnBeepTimer() {
    if (m_beepsDue <= 0) {
        KillTimer(m_hwnd, kBeepTimer);
        m_beeping = false;
        return;
    }
    --m_beepsDue;
    beep();
    // The next beep of a failure's series after a gap; the timer ends itself when none is due.
    m_beeping = true;
    SetTimer(m_hwnd, kBeepTimer, static_cast<UINT>(kBeepGap.count()), nullptr);
}

}  // namespace tarvik::station
