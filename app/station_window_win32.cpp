#include "app/station_window_win32.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <tuple>

#include "app/station_resource.h"
#include "app/window_logic.h"
#include "cli/port_list.h"
#include "serial/wide_text.h"

namespace tarvik {

namespace {

constexpr wchar_t kWindowClass[] = L"TarvikStation";
constexpr wchar_t kPanelClass[] = L"TarvikStationPanel";
constexpr wchar_t kWindowTitle[] = L"批量升级";
constexpr wchar_t kFontFace[] = L"宋体";

// Control ids.
enum : int {
    kImageLabel = 1001,
    kImageBox,
    kImageBrowse,
    kLogLabel,
    kLogBox,
    kLogBrowse,
    kPortLabel,
    kPortList,
    kParityLabel,
    kParityList,
    kDataBitsLabel,
    kDataBitsList,
    kStopBitsLabel,
    kStopBitsList,
    kSoundBox,
    kStartButton,
    kStopButton,
    kAlertLine,
    kTotalsLine,
    kRecordList,
    kFirstPanel = 2001,
};

// Layout, pixels at the default 96 dpi.
constexpr int kMargin = 8;
constexpr int kGap = 6;
constexpr int kRowHeight = 24;
constexpr int kLabelWidth = 64;
constexpr int kBrowseWidth = 64;
constexpr int kPortListWidth = 300;
constexpr int kStripHeight = 4 * kRowHeight + 5 * kGap + 24;
constexpr int kListHeight = 200;  // a drop-down list's open height
constexpr int kSmallListWidth = 72;
constexpr int kButtonWidth = 96;
constexpr int kButtonHeight = 34;
constexpr int kTotalsHeight = 22;
constexpr int kRecordsHeight = 160;
constexpr int kDefaultWidth = 1340;
constexpr int kDefaultHeight = 720;
constexpr int kControlFontHeight = 14;
constexpr int kNameFontHeight = 16;
// A panel's parts, as shares of its height.
constexpr double kWordShare = 0.30;
constexpr int kBarHeight = 14;
constexpr int kPanelBorder = 2;
constexpr COLORREF kPanelBackground = RGB(250, 250, 250);
constexpr COLORREF kPanelEdge = RGB(160, 160, 160);
constexpr COLORREF kBarBack = RGB(225, 225, 225);
constexpr COLORREF kGrey = RGB(110, 110, 110);

// Columns of the port list and of the records.
constexpr int kPortColumnWidth = 70;
constexpr int kNameColumnWidth = 205;
struct Column {
    const wchar_t* title;
    int width;
};
constexpr Column kRecordColumns[] = {
    {L"时间", 200}, {L"端口", 80}, {L"板号", 60}, {L"结果", 220}, {L"步骤", 100}, {L"秒", 80},
};

// Room for the file dialog's answer, in characters (a long path on a current Windows).
constexpr DWORD kChosenPathChars = 32768;

std::wstring Wide(const std::string& utf8) {
    return WideFromUtf8(utf8);
}

std::string TextOf(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(length));
    return Utf8FromWide(text);
}

// The columns and rows of a grid for `count` panels: as square as the area allows.
std::pair<int, int> GridOf(size_t count, int width, int height) {
    if (count == 0) {
        return {1, 1};
    }
    int bestColumns = 1;
    double bestShape = 1e9;
    for (int columns = 1; columns <= static_cast<int>(count); ++columns) {
        const int rows = static_cast<int>((count + static_cast<size_t>(columns) - 1) /
                                          static_cast<size_t>(columns));
        const double cellRatio =
            (static_cast<double>(width) / columns) / (static_cast<double>(height) / rows);
        // Panels wider than high read best: aim at twice as wide.
        const double shape = std::fabs(std::log(cellRatio / 2.0));
        if (shape < bestShape) {
            bestShape = shape;
            bestColumns = columns;
        }
    }
    const int rows = static_cast<int>((count + static_cast<size_t>(bestColumns) - 1) /
                                      static_cast<size_t>(bestColumns));
    return {bestColumns, rows};
}

}  // namespace

StationArguments ParseStationArguments(const std::vector<std::string>& given) {
    StationArguments arguments;
    for (size_t i = 0; i < given.size(); ++i) {
        const bool more = i + 1 < given.size();
        if (given[i] == "--port" && more) {
            arguments.ports.push_back(given[++i]);
        } else if (given[i] == "--image" && more) {
            arguments.image = given[++i];
        } else if (given[i] == "--log" && more) {
            arguments.log = given[++i];
        } else if (given[i] == "--count" && more) {
            arguments.count = static_cast<uint32_t>(std::strtoul(given[++i].c_str(), nullptr, 10));
        } else if (given[i] == "--start") {
            arguments.start = true;
        } else if (given[i] == "--stop-on-fail") {
            arguments.stopOnFail = true;
        }
    }
    return arguments;
}

CStationWindow::CStationWindow() {
    HINSTANCE module = GetModuleHandleW(nullptr);
    m_icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(TARVIK_STATION_ICON),
                                           IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                           GetSystemMetrics(SM_CYICON), 0));
    m_smallIcon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(TARVIK_STATION_ICON),
                                                IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                GetSystemMetrics(SM_CYSMICON), 0));
    const auto font = [](int height, int weight) {
        return CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, GB2312_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                           DEFAULT_PITCH | FF_DONTCARE, kFontFace);
    };
    m_font = font(kControlFontHeight, FW_NORMAL);
    m_nameFont = font(kNameFontHeight, FW_BOLD);
}

CStationWindow::~CStationWindow() {
    if (m_hwnd != nullptr) {
        DestroyWindow(m_hwnd);
    }
    for (HGDIOBJ object : {static_cast<HGDIOBJ>(m_font), static_cast<HGDIOBJ>(m_nameFont),
                           static_cast<HGDIOBJ>(m_wordFont)}) {
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

bool CStationWindow::Create(const StationArguments& arguments) {
    m_arguments = arguments;
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
    m_hwnd = CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                             CW_USEDEFAULT, CW_USEDEFAULT, kDefaultWidth, kDefaultHeight, nullptr,
                             nullptr, module, this);
    return m_hwnd != nullptr;
}

int CStationWindow::Run(int show) {
    ShowWindow(m_hwnd, show);
    UpdateWindow(m_hwnd);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Tab moves between the controls; Enter and Esc reach no button (IsDialogMessage
        // would turn them into IDOK and IDCANCEL, which this window ignores).
        if (!IsDialogMessageW(m_hwnd, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return m_exitCode;
}

bool CStationWindow::AllPanelsShowVerdicts() const {
    return true;
}

LRESULT CALLBACK CStationWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
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
        self->m_hwnd = nullptr;
    }
    return result;
}

LRESULT CALLBACK CStationWindow::PanelProc(HWND hwnd, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    switch (message) {
        case WM_ERASEBKGND:
            return 1;  // painted whole in WM_PAINT, through a bitmap: no flicker
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(hwnd, &paint);
            HWND owner = GetParent(hwnd);
            auto* self =
                reinterpret_cast<CStationWindow*>(GetWindowLongPtrW(owner, GWLP_USERDATA));
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

HWND CStationWindow::Make(const wchar_t* className, const std::string& text, DWORD style,
                          int id) {
    HWND control = CreateWindowExW(0, className, Wide(text).c_str(), WS_CHILD | WS_VISIBLE | style,
                                   0, 0, 0, 0, m_hwnd,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(m_font), FALSE);
    return control;
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
            info->ptMinTrackSize = {kDefaultWidth / 2, kDefaultHeight / 2};
            return 0;
        }
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            return 0;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header->idFrom == kPortList && header->code == LVN_ITEMCHANGED) {
                const auto* change = reinterpret_cast<const NMLISTVIEW*>(lParam);
                if ((change->uChanged & LVIF_STATE) != 0 &&
                    ((change->uNewState ^ change->uOldState) & LVIS_STATEIMAGEMASK) != 0) {
                    RebuildPanels();
                }
            }
            return 0;
        }
        case WM_DESTROY:
            PostQuitMessage(m_exitCode);
            return 0;
        default:
            return DefWindowProcW(m_hwnd, message, wParam, lParam);
    }
}

void CStationWindow::OnCreate() {
    Make(L"STATIC", "镜像文件:", SS_LEFT, kImageLabel);
    Make(L"EDIT", m_arguments.image.value_or(""), WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL,
         kImageBox);
    Make(L"BUTTON", "浏览", WS_TABSTOP | BS_PUSHBUTTON, kImageBrowse);
    Make(L"STATIC", "记录文件:", SS_LEFT, kLogLabel);
    Make(L"EDIT", m_arguments.log.value_or(""), WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL,
         kLogBox);
    Make(L"BUTTON", "浏览", WS_TABSTOP | BS_PUSHBUTTON, kLogBrowse);
    Make(L"STATIC", "端口:", SS_LEFT, kPortLabel);
    HWND ports = Make(WC_LISTVIEWW, "",
                      WS_BORDER | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS,
                      kPortList);
    ListView_SetExtendedListViewStyle(ports, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
    Make(L"STATIC", "效验位", SS_LEFT, kParityLabel);
    Make(WC_COMBOBOXW, "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, kParityList);
    Make(L"STATIC", "数据位", SS_LEFT, kDataBitsLabel);
    Make(WC_COMBOBOXW, "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, kDataBitsList);
    Make(L"STATIC", "停止位", SS_LEFT, kStopBitsLabel);
    Make(WC_COMBOBOXW, "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, kStopBitsList);
    for (const auto& [id, listId] : {std::pair{kParityList, res::kParityList},
                                     std::pair{kDataBitsList, res::kDataBitsList},
                                     std::pair{kStopBitsList, res::kStopBitsList}}) {
        HWND list = GetDlgItem(m_hwnd, id);
        for (const std::string& item : ListItems(listId)) {
            SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
        }
    }
    const LineSelections defaults;
    SendDlgItemMessageW(m_hwnd, kParityList, CB_SETCURSEL, defaults.parityIndex, 0);
    SendDlgItemMessageW(m_hwnd, kDataBitsList, CB_SETCURSEL, defaults.dataBitsIndex, 0);
    SendDlgItemMessageW(m_hwnd, kStopBitsList, CB_SETCURSEL, defaults.stopBitsIndex, 0);
    Make(L"BUTTON", "声音", WS_TABSTOP | BS_AUTOCHECKBOX, kSoundBox);
    CheckDlgButton(m_hwnd, kSoundBox, BST_CHECKED);
    Make(L"BUTTON", "开始", WS_TABSTOP | BS_PUSHBUTTON, kStartButton);
    Make(L"BUTTON", "停止", WS_TABSTOP | BS_PUSHBUTTON, kStopButton);
    Make(L"STATIC", "", SS_LEFT, kAlertLine);
    Make(L"STATIC", "", SS_LEFT, kTotalsLine);
    HWND records =
        Make(WC_LISTVIEWW, "", WS_BORDER | WS_TABSTOP | LVS_REPORT | LVS_NOSORTHEADER, kRecordList);
    ListView_SetExtendedListViewStyle(records, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    int column = 0;
    for (const Column& c : kRecordColumns) {
        LVCOLUMNW lvc{};
        lvc.mask = LVCF_TEXT | LVCF_WIDTH;
        lvc.pszText = const_cast<wchar_t*>(c.title);
        lvc.cx = c.width;
        ListView_InsertColumn(records, column++, &lvc);
    }
    LVCOLUMNW portColumn{};
    portColumn.mask = LVCF_TEXT | LVCF_WIDTH;
    portColumn.pszText = const_cast<wchar_t*>(L"端口");
    portColumn.cx = kPortColumnWidth;
    ListView_InsertColumn(ports, 0, &portColumn);
    portColumn.pszText = const_cast<wchar_t*>(L"名称");
    portColumn.cx = kNameColumnWidth;
    ListView_InsertColumn(ports, 1, &portColumn);
    FillPorts();
    RebuildPanels();
}

// The present ports, each with what Device Manager calls it; those the program was started
// with are checked.
void CStationWindow::FillPorts() {
    HWND list = GetDlgItem(m_hwnd, kPortList);
    ListView_DeleteAllItems(list);
    int row = 0;
    for (const cli::PortEntry& port : cli::ListPorts()) {
        std::wstring com = Wide(port.comName);
        std::wstring name = Wide(port.description);
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = row;
        item.pszText = com.data();
        ListView_InsertItem(list, &item);
        ListView_SetItemText(list, row, 1, name.data());
        const bool wanted = std::find(m_arguments.ports.begin(), m_arguments.ports.end(),
                                      port.comName) != m_arguments.ports.end();
        ListView_SetCheckState(list, row, wanted);
        ++row;
    }
}

std::vector<std::string> CStationWindow::CheckedPorts() const {
    std::vector<std::string> checked;
    HWND list = GetDlgItem(m_hwnd, kPortList);
    const int count = ListView_GetItemCount(list);
    for (int row = 0; row < count; ++row) {
        if (ListView_GetCheckState(list, row)) {
            wchar_t text[64] = {};
            ListView_GetItemText(list, row, 0, text, 64);
            checked.push_back(Utf8FromWide(text));
        }
    }
    return checked;
}

void CStationWindow::RebuildPanels() {
    const std::vector<std::string> ports = CheckedPorts();
    for (HWND panel : m_panelWindows) {
        DestroyWindow(panel);
    }
    m_panelWindows.clear();
    m_panels.clear();
    for (size_t i = 0; i < ports.size(); ++i) {
        StationPanelPaint paint;
        paint.port = ports[i];
        paint.word = "请放上电路板";
        paint.colour = kGrey;
        m_panels.push_back(paint);
        m_panelWindows.push_back(CreateWindowExW(
            0, kPanelClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, m_hwnd,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstPanel + static_cast<int>(i))),
            GetModuleHandleW(nullptr), nullptr));
    }
    Layout();
}

void CStationWindow::Layout() {
    if (m_hwnd == nullptr) {
        return;
    }
    RECT client;
    GetClientRect(m_hwnd, &client);
    const int width = client.right;
    const int height = client.bottom;
    const auto place = [this](int id, int x, int y, int w, int h) {
        MoveWindow(GetDlgItem(m_hwnd, id), x, y, std::max(w, 0), std::max(h, 0), TRUE);
    };
    // The port list on the left of the strip, the rest of the strip beside it.
    place(kPortLabel, kMargin, kMargin, kPortListWidth, kRowHeight - kGap);
    place(kPortList, kMargin, kMargin + kRowHeight - kGap, kPortListWidth,
          kStripHeight - kRowHeight);
    const int left = kMargin + kPortListWidth + 2 * kGap;
    const int right = width - kMargin;
    const int boxWidth = (right - left - 2 * (kLabelWidth + kBrowseWidth + 3 * kGap)) / 2;
    int y = kMargin;
    int x = left;
    for (const auto& [label, box, browse] :
         {std::tuple{kImageLabel, kImageBox, kImageBrowse},
          std::tuple{kLogLabel, kLogBox, kLogBrowse}}) {
        place(label, x, y + 4, kLabelWidth, kRowHeight - 4);
        place(box, x + kLabelWidth, y, boxWidth, kRowHeight);
        place(browse, x + kLabelWidth + boxWidth + kGap, y, kBrowseWidth, kRowHeight);
        x += kLabelWidth + boxWidth + kBrowseWidth + 3 * kGap;
    }
    y += kRowHeight + kGap;
    x = left;
    for (const auto& [label, list] : {std::pair{kParityLabel, kParityList},
                                      std::pair{kDataBitsLabel, kDataBitsList},
                                      std::pair{kStopBitsLabel, kStopBitsList}}) {
        place(label, x, y + 4, kLabelWidth - kGap, kRowHeight - 4);
        place(list, x + kLabelWidth - kGap, y, kSmallListWidth, kListHeight);
        x += kLabelWidth + kSmallListWidth + kGap;
    }
    place(kSoundBox, x + kGap, y, kLabelWidth, kRowHeight);
    y += kRowHeight + kGap;
    place(kStartButton, left, y, kButtonWidth, kButtonHeight);
    place(kStopButton, left + kButtonWidth + kGap, y, kButtonWidth, kButtonHeight);
    place(kAlertLine, left + 2 * (kButtonWidth + kGap) + kGap, y + kGap,
          right - left - 2 * (kButtonWidth + kGap), kRowHeight);
    y += kButtonHeight + kGap;
    place(kTotalsLine, left, y + 2, right - left, kTotalsHeight);

    // The records along the bottom; the panels in a grid between.
    const int recordsTop = height - kMargin - kRecordsHeight;
    place(kRecordList, kMargin, recordsTop, width - 2 * kMargin, kRecordsHeight);
    const int gridTop = kMargin + kStripHeight + kGap;
    const int gridHeight = recordsTop - kGap - gridTop;
    const int gridWidth = width - 2 * kMargin;
    const auto [columns, rows] = GridOf(m_panelWindows.size(), gridWidth, gridHeight);
    const int cellWidth = (gridWidth - (columns - 1) * kGap) / columns;
    const int cellHeight = (gridHeight - (rows - 1) * kGap) / rows;
    for (size_t i = 0; i < m_panelWindows.size(); ++i) {
        const int column = static_cast<int>(i) % columns;
        const int row = static_cast<int>(i) / columns;
        MoveWindow(m_panelWindows[i], kMargin + column * (cellWidth + kGap),
                   gridTop + row * (cellHeight + kGap), std::max(cellWidth, 0),
                   std::max(cellHeight, 0), TRUE);
    }
    // The state word's size follows the panels'.
    const int wordHeight = std::max(kNameFontHeight, static_cast<int>(cellHeight * kWordShare));
    if (m_wordFont != nullptr) {
        DeleteObject(m_wordFont);
    }
    m_wordFont = CreateFontW(-wordHeight, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, GB2312_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, kFontFace);
    for (HWND panel : m_panelWindows) {
        InvalidateRect(panel, nullptr, FALSE);
    }
}

void CStationWindow::PaintPanel(HWND panel, HDC target, size_t index) {
    if (index >= m_panels.size()) {
        return;
    }
    const StationPanelPaint& shown = m_panels[index];
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
    HGDIOBJ oldFont = SelectObject(dc, m_nameFont);

    // The port and its adapter's name along the top.
    RECT line = inside;
    InflateRect(&line, -kGap, -kGap / 2);
    const int lineHeight = kNameFontHeight + kGap;
    line.bottom = line.top + lineHeight;
    std::wstring title = Wide(shown.port);
    if (!shown.name.empty()) {
        title += L"  " + Wide(shown.name);
    }
    SetTextColor(dc, RGB(0, 0, 0));
    DrawTextW(dc, title.c_str(), -1, &line, DT_LEFT | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);

    // The counters along the bottom.
    RECT bottom = inside;
    InflateRect(&bottom, -kGap, -kGap / 2);
    bottom.top = bottom.bottom - lineHeight;
    SelectObject(dc, m_font);
    DrawTextW(dc, Wide(shown.counters).c_str(), -1, &bottom,
              DT_LEFT | DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);

    // The state word in the middle; the bar and the detail under it.
    const bool bar = shown.percent >= 0;
    RECT detail = inside;
    InflateRect(&detail, -kGap, 0);
    detail.bottom = bottom.top;
    detail.top = detail.bottom - lineHeight;
    RECT word = inside;
    word.top = line.bottom;
    word.bottom = detail.top - (bar ? kBarHeight + kGap : 0);
    SelectObject(dc, m_wordFont);
    SetTextColor(dc, shown.colour);
    DrawTextW(dc, Wide(shown.word).c_str(), -1, &word,
              DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
    if (bar) {
        RECT track{inside.left + 2 * kGap, word.bottom, inside.right - 2 * kGap,
                   word.bottom + kBarHeight};
        HBRUSH trackBrush = CreateSolidBrush(kBarBack);
        FillRect(dc, &track, trackBrush);
        DeleteObject(trackBrush);
        RECT done = track;
        done.right = track.left + (track.right - track.left) * std::min(shown.percent, 100) / 100;
        HBRUSH doneBrush = CreateSolidBrush(shown.colour);
        FillRect(dc, &done, doneBrush);
        DeleteObject(doneBrush);
    }
    SelectObject(dc, m_font);
    SetTextColor(dc, shown.colour);
    DrawTextW(dc, Wide(shown.detail).c_str(), -1, &detail,
              DT_CENTER | DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);

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
        case kImageBrowse:
        case kLogBrowse: {
            std::wstring chosen(kChosenPathChars, L'\0');
            const std::wstring current = Wide(TextOf(GetDlgItem(m_hwnd, id - 1)));
            std::copy_n(current.begin(), std::min<size_t>(current.size(), kChosenPathChars - 1),
                        chosen.begin());
            const bool image = id == kImageBrowse;
            // Each filter is a name and a pattern, each ended by a nul; a second nul ends all.
            static constexpr wchar_t kImageFilters[] = L"(*.bin)\0*.bin\0所有文件(*.*)\0*.*\0";
            static constexpr wchar_t kLogFilters[] = L"(*.csv)\0*.csv\0所有文件(*.*)\0*.*\0";
            OPENFILENAMEW dialog{};
            dialog.lStructSize = sizeof dialog;
            dialog.hwndOwner = m_hwnd;
            dialog.lpstrFilter = image ? kImageFilters : kLogFilters;
            dialog.lpstrFile = chosen.data();
            dialog.nMaxFile = kChosenPathChars;
            dialog.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_EXPLORER |
                           (image ? OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST : OFN_PATHMUSTEXIST);
            const BOOL ok = image ? GetOpenFileNameW(&dialog) : GetSaveFileNameW(&dialog);
            if (ok) {
                SetDlgItemTextW(m_hwnd, id - 1, chosen.c_str());
            }
            return;
        }
        default:
            return;
    }
}

}  // namespace tarvik
