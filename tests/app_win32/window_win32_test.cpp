// The Windows window, in process under Wine: the dialog made from its template, read back
// through the Win32 API; the first-run state; the settings file in code page 936; Start's
// checks; Open/Close on a pseudo-terminal linked as a COM port; a whole upgrade against the
// simulated board, and closing the window in the middle of one.
//
// Options after GoogleTest's own:
//   --com N     a COM port that leads somewhere (tests named *OnLinkedPort* need it)
//   --sim-out PATH  the Unix path where the simulated board writes the image it received
//                   (tests named *AgainstTheBoard* need it, with the board on --com)
//   --program PATH  the Unix path of tarvik.exe (ProgramTest needs it)
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/upgrade_dlg_win32.h"
#include "res/resource.h"
#include "serial/wide_text.h"
#include "settings/settings.h"
#include "upgrade/frames.h"
#include "upgrade/image.h"
#include "upgrade/texts.h"
#include "win32_support.h"

namespace tarvik {

namespace {

using testing::CBoxAnswerer;
using testing::CTempFolder;
using testing::PumpUntil;

std::optional<int> g_com;
std::string g_simOut;
std::string g_program;  // tarvik.exe, a Windows path

// A Unix path as Wine shows it to a Windows program (drive Z: is the root).
std::string WindowsPathOf(std::string path) {
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return "Z:" + path;
}

// Indexes in the lists.
constexpr int kCom5 = 4;
constexpr int kParityEven = 2;
constexpr int kDataBits7 = 0;
constexpr int kStopBits2 = 2;
constexpr int kBaud115200 = 9;
constexpr int kNoDeviceCom = 200;  // nothing is linked there
constexpr SIZE kLampOffSize{63, 25};
constexpr SIZE kLampOnSize{47, 25};
// Between two writes whose order the file times must tell, ms.
constexpr DWORD kFileTimeStep = 50;
// With the dialog font's 8 x 16 base units, template 102 is this big.
constexpr SIZE kClientPixels{648, 410};

std::string Text(HWND window) {
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return Utf8FromWide(text);
}

std::string ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    std::string result = Utf8FromWide(name);
    for (char& c : result) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return result;
}

const char* ClassOfKind(res::ControlKind kind) {
    switch (kind) {
        case res::ControlKind::List:
            return "combobox";
        case res::ControlKind::Label:
        case res::ControlKind::TextLine:
            return "static";
        case res::ControlKind::FileBox:
            return "edit";
        case res::ControlKind::Progress:
            return "msctls_progress32";
        case res::ControlKind::Group:
        case res::ControlKind::Button:
        case res::ControlKind::LampButton:
            break;
    }
    return "button";
}

std::string ExeName() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return AppNameOf(Utf8FromWide(path), "\\/");
}

std::string ListItem(HWND list, int index) {
    wchar_t text[64] = {};
    SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
    return Utf8FromWide(text);
}

// The window of one test, made modeless on a settings file in a folder of its own.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The per-user fallback of the settings goes to this test's folder too.
        SetEnvironmentVariableW(L"LOCALAPPDATA", WideFromUtf8(m_folder.File("local")).c_str());
        CreateDirectoryW(WideFromUtf8(m_folder.File("local")).c_str(), nullptr);
    }
    void TearDown() override { Destroy(); }

    std::string SettingsPath() const { return m_folder.File("tools-tarvik.ini"); }

    // Hidden unless `shown`: showing a window costs seconds under Wine without a window
    // manager, and only the keyboard focus needs it.
    CUpgradeDlg& Make(const std::string& settingsPath = std::string(), bool shown = false) {
        Destroy();
        m_dlg = std::make_unique<CUpgradeDlg>(settingsPath.empty() ? SettingsPath() : settingsPath);
        HWND hwnd = m_dlg->Create();
        EXPECT_NE(hwnd, nullptr);
        if (shown) {
            ShowWindow(hwnd, SW_SHOW);
        }
        return *m_dlg;
    }
    void Destroy() {
        if (m_dlg && m_dlg->Handle() != nullptr) {
            DestroyWindow(m_dlg->Handle());
        }
        m_dlg.reset();
    }
    HWND Item(int id) const { return m_dlg->Item(id); }
    int Selection(int id) const {
        return static_cast<int>(SendMessageW(Item(id), CB_GETCURSEL, 0, 0));
    }
    void Select(int id, int index) {
        SendMessageW(Item(id), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }
    bool PortClosed() {
        return PumpUntil(m_dlg->Handle(), [this] {
            return !m_dlg->Logic().Reader().Running() && !m_dlg->Logic().Port().IsOpen();
        });
    }

    CTempFolder m_folder;
    std::unique_ptr<CUpgradeDlg> m_dlg;
};

// ---- The dialog from its template ----

TEST_F(WindowTest, EveryControlSitsAtItsTemplateRectangleWithItsKindAndText) {
    CUpgradeDlg& dlg = Make();
    HWND child = GetWindow(dlg.Handle(), GW_CHILD);
    for (const res::ControlTemplate& t : res::kMainTemplate) {
        SCOPED_TRACE(std::string(t.text) + " id " + std::to_string(t.id));
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(GetDlgCtrlID(child), t.id);
        EXPECT_EQ(ClassOf(child), ClassOfKind(t.kind));
        EXPECT_EQ((GetWindowLongPtrW(child, GWL_STYLE) & WS_VISIBLE) != 0, !t.hidden);
        RECT expected{t.x, t.y, t.x + t.width, t.y + t.height};
        MapDialogRect(dlg.Handle(), &expected);
        RECT actual;
        GetWindowRect(child, &actual);
        MapWindowPoints(nullptr, dlg.Handle(), reinterpret_cast<POINT*>(&actual), 2);
        EXPECT_EQ(actual.left, expected.left);
        EXPECT_EQ(actual.top, expected.top);
        EXPECT_EQ(actual.right, expected.right);
        if (t.kind != res::ControlKind::List) {
            // A list's template height includes its drop-down.
            EXPECT_EQ(actual.bottom, expected.bottom);
            EXPECT_EQ(Text(child), t.text);
        }
        child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr) << "a control the template does not have";
}

TEST_F(WindowTest, TheTabOrderIsTheTemplateOrder) {
    CUpgradeDlg& dlg = Make();
    std::vector<int> expected;
    for (const res::ControlTemplate& t : res::kMainTemplate) {
        const bool tabStop =
            t.kind == res::ControlKind::List || t.kind == res::ControlKind::FileBox ||
            t.kind == res::ControlKind::Button || t.kind == res::ControlKind::LampButton;
        if (tabStop && !t.hidden) {
            expected.push_back(t.id);
        }
    }
    std::vector<int> actual;
    HWND first = GetNextDlgTabItem(dlg.Handle(), nullptr, FALSE);
    for (HWND at = first; at != nullptr && actual.size() <= expected.size();) {
        actual.push_back(GetDlgCtrlID(at));
        at = GetNextDlgTabItem(dlg.Handle(), at, FALSE);
        if (at == first) {
            break;
        }
    }
    EXPECT_EQ(actual, expected);
}

TEST_F(WindowTest, TheDialogHasItsFontSizeCaptionAndFrame) {
    CUpgradeDlg& dlg = Make();
    EXPECT_EQ(Text(dlg.Handle()), text::kMainTitle);
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(dlg.Handle(), WM_GETFONT, 0, 0)), sizeof font,
               &font);
    EXPECT_EQ(Utf8FromWide(font.lfFaceName), "宋体");
    RECT client;
    GetClientRect(dlg.Handle(), &client);
    // Under Wine 宋体 is mapped to a Song font with SimSun's proportions.
    EXPECT_EQ(client.right, kClientPixels.cx);
    EXPECT_EQ(client.bottom, kClientPixels.cy);
    const LONG_PTR style = GetWindowLongPtrW(dlg.Handle(), GWL_STYLE);
    EXPECT_TRUE(style & WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_TRUE(GetWindowLongPtrW(dlg.Handle(), GWL_EXSTYLE) & WS_EX_APPWINDOW);
    EXPECT_NE(SendMessageW(dlg.Handle(), WM_GETICON, ICON_BIG, 0), 0);
}

TEST_F(WindowTest, TheSystemMenuEndsWithTheAboutItemAfterASeparator) {
    CUpgradeDlg& dlg = Make();
    HMENU menu = GetSystemMenu(dlg.Handle(), FALSE);
    const int count = GetMenuItemCount(menu);
    ASSERT_GE(count, 2);
    EXPECT_EQ(GetMenuItemID(menu, count - 1), res::kAboutCommand);
    wchar_t item[64] = {};
    GetMenuStringW(menu, static_cast<UINT>(count - 1), item, 64, MF_BYPOSITION);
    EXPECT_EQ(Utf8FromWide(item), text::kAboutItem);
    MENUITEMINFOW separator{};
    separator.cbSize = sizeof separator;
    separator.fMask = MIIM_FTYPE;
    GetMenuItemInfoW(menu, static_cast<UINT>(count - 2), TRUE, &separator);
    EXPECT_TRUE(separator.fType & MFT_SEPARATOR);
}

TEST_F(WindowTest, SystemCommands16To31OpenTheAboutBox) {
    CUpgradeDlg& dlg = Make();
    for (const UINT command : {0x10u, 0x13u, 0x1Fu}) {
        SCOPED_TRACE(command);
        CBoxAnswerer answerer(dlg.Handle());
        SendMessageW(dlg.Handle(), WM_SYSCOMMAND, command, 0);
        const std::vector<testing::SeenBox> seen = answerer.Seen();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].caption, text::kAboutTitle);
    }
    EXPECT_TRUE(IsWindow(dlg.Handle()));
}

// ---- First run ----

TEST_F(WindowTest, AFirstRunShowsTheDefaults) {
    Make();
    struct List {
        int id;
        int count;
        const char* first;
        const char* last;
        int selected;
    } lists[] = {
        {res::kPortList, 256, "COM1", "COM256", 0},
        {res::kBaudList, 16, "1200", "1024000", kBaud115200},
        {res::kParityList, 3, "NONE", "EVEN", 0},
        {res::kDataBitsList, 2, "7", "8", 1},
        {res::kStopBitsList, 3, "1", "2", 0},
    };
    for (const List& l : lists) {
        SCOPED_TRACE(l.id);
        HWND list = Item(l.id);
        ASSERT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), l.count);
        EXPECT_EQ(ListItem(list, 0), l.first);
        EXPECT_EQ(ListItem(list, l.count - 1), l.last);
        EXPECT_EQ(Selection(l.id), l.selected);
    }
    EXPECT_EQ(ListItem(Item(res::kPortList), 9), "COM10");  // numeric order, not alphabetical
    EXPECT_EQ(Text(Item(res::kFileBox)), "");
    EXPECT_EQ(Text(Item(res::kStatusLine)), "Static");
    EXPECT_EQ(Text(Item(res::kInfoLine)), "");
    EXPECT_EQ(Text(Item(res::kOpenCloseButton)), text::kOpenCaption);
    EXPECT_EQ(m_dlg->OpenCloseButton().ActiveSize().cx, kLampOffSize.cx);
    EXPECT_EQ(m_dlg->OpenCloseButton().ActiveSize().cy, kLampOffSize.cy);
    EXPECT_TRUE(IsWindowEnabled(Item(res::kStartButton)));
    EXPECT_EQ(SendMessageW(Item(res::kProgressBar), PBM_GETPOS, 0, 0), 0);
    EXPECT_EQ(m_dlg->Logic().ImagePath(), "");
}

// ---- Settings ----

// "[Info]" and the seven keys as the tool writes them, lines ending in CR LF.
std::string SettingsBytes(const std::string& path, const std::string& name, int port, int baud,
                          int data, int stop, int parity) {
    return "[Info]\r\nupgrade_path=" + path + "\r\nupgrade_name=" + name +
           "\r\nScom=" + std::to_string(port) + "\r\nSbotelv=" + std::to_string(baud) +
           "\r\nSdata=" + std::to_string(data) + "\r\nSstop=" + std::to_string(stop) +
           "\r\nScheck=" + std::to_string(parity) + "\r\n";
}

// 固件 and 升级 in code page 936.
constexpr char kGbkFirmware[] = "\xB9\xCC\xBC\xFE";
constexpr char kGbkUpgrade[] = "\xC9\xFD\xBC\xB6";

TEST_F(WindowTest, TheCloseBoxSavesTheSelectionsInCodePage936AndTheNextRunShowsThem) {
    CUpgradeDlg& dlg = Make();
    dlg.chooseImageFile = [] { return std::string("C:\\固件\\升级 v2.bin"); };
    dlg.OnBrowse();
    EXPECT_EQ(Text(Item(res::kFileBox)), "升级 v2.bin");
    Select(res::kPortList, kCom5);
    Select(res::kParityList, kParityEven);
    Select(res::kDataBitsList, kDataBits7);
    Select(res::kStopBitsList, kStopBits2);
    SendMessageW(dlg.Handle(), WM_CLOSE, 0, 0);

    EXPECT_EQ(testing::ReadBytes(SettingsPath()),
              SettingsBytes(std::string("C:\\") + kGbkFirmware + "\\" + kGbkUpgrade + " v2.bin",
                            std::string(kGbkUpgrade) + " v2.bin", kCom5, kBaud115200, kDataBits7,
                            kStopBits2, kParityEven));

    Make();
    EXPECT_EQ(Selection(res::kPortList), kCom5);
    EXPECT_EQ(Selection(res::kBaudList), kBaud115200);
    EXPECT_EQ(Selection(res::kParityList), kParityEven);
    EXPECT_EQ(Selection(res::kDataBitsList), kDataBits7);
    EXPECT_EQ(Selection(res::kStopBitsList), kStopBits2);
    EXPECT_EQ(Text(Item(res::kFileBox)), "升级 v2.bin");
    EXPECT_EQ(m_dlg->Logic().ImagePath(), "C:\\固件\\升级 v2.bin");
}

TEST_F(WindowTest, AFileOfTheEarlierProgramBringsTheLastImageBack) {
    // Written byte by byte as the earlier program left it: GBK texts, its own section case,
    // an index outside its list and a key of its own.
    testing::WriteBytes(SettingsPath(),
                        std::string("[INFO]\r\nupgrade_path=D:\\") + kGbkFirmware + "\\" +
                            kGbkUpgrade + ".bin\r\nupgrade_name=" + kGbkUpgrade +
                            ".bin\r\nScom=300\r\nSbotelv=3\r\nSdata=0\r\nSstop=1\r\nScheck=1\r\n"
                            "other=1\r\n");
    Make();
    EXPECT_EQ(m_dlg->Logic().ImagePath(), "D:\\固件\\升级.bin");
    EXPECT_EQ(Text(Item(res::kFileBox)), "升级.bin");
    EXPECT_EQ(Selection(res::kPortList), CB_ERR);
    EXPECT_EQ(Selection(res::kBaudList), 3);
    EXPECT_EQ(Selection(res::kDataBitsList), 0);
    EXPECT_EQ(Selection(res::kStopBitsList), 1);
    EXPECT_EQ(Selection(res::kParityList), 1);
    // The next save writes what the window shows, and only the seven keys.
    EXPECT_TRUE(m_dlg->Logic().SaveSettings());
    EXPECT_EQ(testing::ReadBytes(SettingsPath()),
              SettingsBytes(std::string("D:\\") + kGbkFirmware + "\\" + kGbkUpgrade + ".bin",
                            std::string(kGbkUpgrade) + ".bin", -1, 3, 0, 1, 1));
}

// The same settings, without a byte-order mark, in the earlier program's code page 936 and
// in UTF-8 as Notepad saves it by default (or as a file copied from Linux holds it): both
// bring the Chinese path back, and the next save keeps it (in code page 936).
TEST_F(WindowTest, ASettingsFileInCodePage936OrInUtf8WithoutAMarkKeepsItsChinesePath) {
    const struct {
        const char* name;
        std::string folder;
        std::string file;
    } cases[] = {
        {"code page 936", kGbkFirmware, std::string(kGbkUpgrade) + ".bin"},
        {"UTF-8 without a mark", "固件", "升级.bin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::WriteBytes(SettingsPath(), SettingsBytes("D:\\" + c.folder + "\\" + c.file, c.file,
                                                          kCom5, kBaud115200, 1, 0, 0));
        Make();
        EXPECT_EQ(m_dlg->Logic().ImagePath(), "D:\\固件\\升级.bin");
        EXPECT_EQ(Text(Item(res::kFileBox)), "升级.bin");
        EXPECT_TRUE(m_dlg->Logic().SaveSettings());
        EXPECT_EQ(testing::ReadBytes(SettingsPath()),
                  SettingsBytes(std::string("D:\\") + kGbkFirmware + "\\" + kGbkUpgrade + ".bin",
                                std::string(kGbkUpgrade) + ".bin", kCom5, kBaud115200, 1, 0, 0));
    }
}

TEST_F(WindowTest, APathThatCodePage936CannotHoldIsKeptWhole) {
    // Thai has no place in code page 936: such a file is kept in UTF-8, marked as such.
    const std::string path = "C:\\ไทย\\firmware.bin";
    CUpgradeDlg& dlg = Make();
    dlg.chooseImageFile = [&] { return path; };
    dlg.OnBrowse();
    EXPECT_TRUE(dlg.Logic().SaveSettings());
    EXPECT_EQ(testing::ReadBytes(SettingsPath()).substr(0, 3), "\xEF\xBB\xBF");
    Make();
    EXPECT_EQ(m_dlg->Logic().ImagePath(), path);
    EXPECT_EQ(Text(Item(res::kFileBox)), "firmware.bin");
}

TEST_F(WindowTest, SettingsThatCannotBeWrittenWhereTheyBelongGoToTheUsersOwnPlace) {
    // A folder that does not exist stands for a root of C: a standard user may not write.
    const std::string unwritable = m_folder.File("missing") + "\\tools-tarvik.ini";
    const std::string fallback = FallbackSettingsPath(unwritable);
    ASSERT_EQ(fallback, m_folder.File("local") + "\\tarvik\\tools-tarvik.ini");

    Settings first;
    first.portIndex = 6;
    first.upgradePath = "C:\\固件\\a.bin";
    ASSERT_TRUE(SaveSettings(unwritable, first));
    EXPECT_TRUE(testing::FileExists(fallback));
    EXPECT_EQ(LoadSettings(unwritable), first);

    // The earlier program, run with the right to, writes the place itself later: its file is
    // the newer one and the one read.
    CreateDirectoryW(WideFromUtf8(m_folder.File("missing")).c_str(), nullptr);
    Sleep(kFileTimeStep);
    testing::WriteBytes(unwritable, SettingsBytes("", "", 5, 9, 1, 0, 0));
    EXPECT_EQ(LoadSettings(unwritable).portIndex, 5);

    // Once the place can be written, it is, and the fallback no longer stands in its way.
    Settings second = first;
    second.portIndex = 2;
    ASSERT_TRUE(SaveSettings(unwritable, second));
    EXPECT_FALSE(testing::FileExists(fallback));
    EXPECT_EQ(LoadSettings(unwritable), second);
}

TEST_F(WindowTest, ExitEnterAndEscapeSaveNothing) {
    for (const int command : {res::kExitButton, IDOK, IDCANCEL}) {
        SCOPED_TRACE(command);
        DeleteFileW(WideFromUtf8(SettingsPath()).c_str());
        CUpgradeDlg& dlg = Make();
        Select(res::kPortList, kCom5);
        SendMessageW(dlg.Handle(), WM_COMMAND, MAKEWPARAM(command, BN_CLICKED), 0);
        EXPECT_FALSE(testing::FileExists(SettingsPath()));
    }
}

TEST_F(WindowTest, EnterPressesTheFocusedButtonAndElsewhereEndsTheWindow) {
    CUpgradeDlg& dlg = Make(std::string(), true);
    Select(res::kPortList, kNoDeviceCom);
    // On the lamp button, as on every push button, Enter presses it: here a failed opening.
    {
        CBoxAnswerer answerer(dlg.Handle());
        SetFocus(Item(res::kOpenCloseButton));
        PostMessageW(Item(res::kOpenCloseButton), WM_KEYDOWN, VK_RETURN, 0);
        ASSERT_TRUE(PumpUntil(dlg.Handle(), [&] { return !answerer.Seen().empty(); }));
        EXPECT_EQ(answerer.Seen()[0].text, text::kPortUnavailable);
        EXPECT_TRUE(IsWindowVisible(dlg.Handle()));
    }
    // Anywhere else it is the dialog's OK: the window ends.
    SetFocus(Item(res::kPortList));
    PostMessageW(GetFocus(), WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_TRUE(PumpUntil(dlg.Handle(), [&] { return !IsWindowVisible(dlg.Handle()); }));
}

TEST_F(WindowTest, BrowseOffersTheTwoFiltersAndATickedReadOnlyBoxAndCancellingClearsTheChoice) {
    constexpr int kFilterList = 0x470;   // the file dialog's list of file types
    constexpr int kReadOnlyBox = 0x410;  // its read-only check box
    CUpgradeDlg& dlg = Make(std::string(), true);
    dlg.chooseImageFile = [] { return std::string("C:\\old\\a.bin"); };
    dlg.OnBrowse();
    dlg.chooseImageFile = nullptr;

    std::vector<std::string> filters;
    bool readOnlyShown = false;
    bool readOnlyTicked = false;
    std::atomic<bool> stop{false};
    std::thread answerer([&] {
        // The file dialog, once it shows: its filters are read, then it is cancelled.
        while (!stop) {
            HWND box = FindWindowW(L"#32770", nullptr);
            HWND list =
                box != nullptr && box != dlg.Handle() ? GetDlgItem(box, kFilterList) : nullptr;
            if (list != nullptr && IsWindowVisible(box)) {
                const LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
                for (LRESULT i = 0; i < count; ++i) {
                    filters.push_back(ListItem(list, static_cast<int>(i)));
                }
                HWND readOnly = GetDlgItem(box, kReadOnlyBox);
                readOnlyShown = readOnly != nullptr && IsWindowVisible(readOnly);
                readOnlyTicked =
                    readOnly != nullptr && SendMessageW(readOnly, BM_GETCHECK, 0, 0) == BST_CHECKED;
                PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
                return;
            }
            Sleep(20);
        }
    });
    dlg.OnBrowse();
    stop = true;
    answerer.join();
    EXPECT_EQ(filters, (std::vector<std::string>{text::kFilterBin, text::kFilterAll}));
    EXPECT_TRUE(readOnlyShown);
    EXPECT_TRUE(readOnlyTicked);
    EXPECT_EQ(dlg.Logic().ImagePath(), "");
    EXPECT_EQ(Text(Item(res::kFileBox)), "");
}

// ---- Start's checks ----

// The answerer saw one message box: `text`, captioned with the executable's name.
void ExpectOneMessage(const CBoxAnswerer& answerer, const char* text) {
    const std::vector<testing::SeenBox> seen = answerer.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].caption, ExeName());
    EXPECT_EQ(seen[0].text, text);
}

TEST_F(WindowTest, StartOnAClosedPortAsksToOpenItFirst) {
    CUpgradeDlg& dlg = Make();
    CBoxAnswerer answerer(dlg.Handle());
    dlg.OnStart();
    ExpectOneMessage(answerer, text::kOpenPortFirst);
    EXPECT_TRUE(IsWindowEnabled(Item(res::kStartButton)));
}

TEST_F(WindowTest, AFailedOpeningSaysSoAndLeavesThePortClosed) {
    CUpgradeDlg& dlg = Make();
    Select(res::kPortList, kNoDeviceCom);
    CBoxAnswerer answerer(dlg.Handle());
    dlg.OnOpenClose();
    ExpectOneMessage(answerer, text::kPortUnavailable);
    EXPECT_EQ(Text(Item(res::kOpenCloseButton)), text::kOpenCaption);
    EXPECT_EQ(dlg.OpenCloseButton().ActiveSize().cx, kLampOffSize.cx);
    EXPECT_FALSE(dlg.Logic().Reader().Running());
}

class LinkedPortTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        if (!g_com) {
            GTEST_SKIP() << "needs --com N";
        }
    }
    void OpenLinkedPort() {
        Select(res::kPortList, *g_com - 1);
        m_dlg->OnOpenClose();
        ASSERT_EQ(Text(Item(res::kOpenCloseButton)), text::kCloseCaption);
    }
};

TEST_F(LinkedPortTest, OpenAndCloseOnLinkedPort) {
    CUpgradeDlg& dlg = Make();
    OpenLinkedPort();
    EXPECT_TRUE(dlg.Logic().Port().IsOpen());
    EXPECT_TRUE(dlg.Logic().Reader().Running());
    EXPECT_EQ(dlg.OpenCloseButton().ActiveSize().cx, kLampOnSize.cx);
    EXPECT_EQ(dlg.OpenCloseButton().ActiveSize().cy, kLampOnSize.cy);

    dlg.OnOpenClose();
    EXPECT_EQ(Text(Item(res::kOpenCloseButton)), text::kOpenCaption);
    EXPECT_EQ(dlg.OpenCloseButton().ActiveSize().cx, kLampOffSize.cx);
    EXPECT_TRUE(PortClosed());

    // And again: the port can be opened once the reader has closed it.
    OpenLinkedPort();
    EXPECT_TRUE(dlg.Logic().Port().IsOpen());
}

TEST_F(LinkedPortTest, StartChecksTheImageInOrderOnLinkedPort) {
    const std::string huge = m_folder.File("huge.bin");
    {
        HANDLE file = CreateFileW(WideFromUtf8(huge).c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, 0, nullptr);
        LARGE_INTEGER size{};
        size.QuadPart = kFirmwareCapacity + 1;
        SetFilePointerEx(file, size, nullptr, FILE_BEGIN);
        SetEndOfFile(file);
        CloseHandle(file);
    }
    const std::string bad = m_folder.File("bad.bin");
    testing::WriteBytes(bad, std::string(1000, 'x'));
    struct Case {
        const char* name;
        std::string chosen;   // empty: nothing chosen
        const char* message;  // null: no message box
        const char* status;   // null: the status line is not looked at
    } cases[] = {
        {"nothing chosen", "", text::kChooseFile, nullptr},
        {"a file that is not there", m_folder.File("gone.bin"), text::kOpenFileFailed, nullptr},
        {"a file beyond the buffer", huge, text::kFileHuge, nullptr},
        {"a file without the marker", bad, nullptr, text::kBinFileBad},
    };
    CUpgradeDlg& dlg = Make();
    OpenLinkedPort();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dlg.chooseImageFile = [&] { return c.chosen; };
        dlg.OnBrowse();
        CBoxAnswerer answerer(dlg.Handle());
        dlg.OnStart();
        if (c.message != nullptr) {
            ExpectOneMessage(answerer, c.message);
        } else {
            EXPECT_TRUE(answerer.Seen().empty());
        }
        if (c.status != nullptr) {
            EXPECT_EQ(Text(Item(res::kStatusLine)), c.status);
        }
        EXPECT_TRUE(IsWindowEnabled(Item(res::kStartButton)));
    }
}

// A key tapped on the control that holds the focus, as the keyboard delivers it.
void Tap(HWND dialog, UINT key) {
    HWND holder = GetFocus();
    PostMessageW(holder, WM_KEYDOWN, key, 0);
    PostMessageW(holder, WM_KEYUP, key, 0);
    testing::PumpFor(dialog, std::chrono::milliseconds(100));
}

TEST_F(LinkedPortTest, TheFocusRestsOnTheFileBoxWhileAnUpgradeRunsOnLinkedPort) {
    const std::string image = m_folder.File("good.bin");
    testing::WriteBytes(image, testing::GoodImage(1000));
    CUpgradeDlg& dlg = Make(std::string(), true);
    OpenLinkedPort();
    dlg.chooseImageFile = [&] { return image; };
    dlg.OnBrowse();
    CBoxAnswerer answerer(dlg.Handle());
    for (const UINT key : {VK_SPACE, VK_RETURN}) {
        SCOPED_TRACE(key);
        SetFocus(Item(res::kStartButton));
        ASSERT_EQ(GetFocus(), Item(res::kStartButton));
        Tap(dlg.Handle(), key);
        ASSERT_FALSE(IsWindowEnabled(Item(res::kStartButton)));
        // The file box takes it, never 退出 (the next tab stop, where the key would end the
        // program) nor 停止 (where it would stop the upgrade it just started).
        EXPECT_EQ(GetFocus(), Item(res::kFileBox));
        // The second tap, and a third: the upgrade goes on (the echoing peer answers every
        // frame with itself, so it gets as far as the first block).
        Tap(dlg.Handle(), key);
        Tap(dlg.Handle(), key);
        EXPECT_TRUE(IsWindowVisible(dlg.Handle()));
        EXPECT_FALSE(IsWindowEnabled(Item(res::kStartButton)));
        EXPECT_NE(dlg.Logic().Engine().Phase(), UpgradePhase::Idle);
        EXPECT_EQ(dlg.Logic().Engine().Outcome(), UpgradeOutcome::None);
        // When the upgrade ends the focus comes back to 开始升级.
        dlg.OnStop();
        EXPECT_TRUE(IsWindowEnabled(Item(res::kStartButton)));
        EXPECT_EQ(GetFocus(), Item(res::kStartButton));
    }
    EXPECT_TRUE(answerer.Seen().empty());
}

// ---- Against the simulated board ----

class BoardTest : public LinkedPortTest {
protected:
    void SetUp() override {
        LinkedPortTest::SetUp();
        if (!IsSkipped() && g_simOut.empty()) {
            GTEST_SKIP() << "needs --sim-out PATH";
        }
    }
    // Browse to a fresh image of `length` bytes, open the port and press Start.
    std::string StartUpgrade(size_t length) {
        const std::string bytes = testing::GoodImage(length);
        const std::string image = m_folder.File("固件 image.bin");
        testing::WriteBytes(image, bytes);
        CUpgradeDlg& dlg = Make();
        OpenLinkedPort();
        dlg.chooseImageFile = [&] { return image; };
        dlg.OnBrowse();
        dlg.OnStart();
        EXPECT_FALSE(IsWindowEnabled(Item(res::kStartButton)));
        return bytes;
    }
    LRESULT Progress() { return SendMessageW(Item(res::kProgressBar), PBM_GETPOS, 0, 0); }
};

TEST_F(BoardTest, AWholeUpgradeAgainstTheBoard) {
    constexpr size_t kLength = 40 * kBlockSize + 17;
    constexpr int kBlocks = 41;
    const std::string bytes = StartUpgrade(kLength);
    ASSERT_TRUE(PumpUntil(m_dlg->Handle(), [this] {
        return Text(Item(res::kStatusLine)) == text::kUpgradeSucceeded;
    })) << Text(Item(res::kStatusLine));
    EXPECT_EQ(Text(Item(res::kInfoLine)), text::kUpgradeSucceeded);
    EXPECT_EQ(Progress(), kBlocks);
    EXPECT_EQ(SendMessageW(Item(res::kProgressBar), PBM_GETRANGE, FALSE, 0), kBlocks);
    EXPECT_TRUE(IsWindowEnabled(Item(res::kStartButton)));

    // The board wrote what it received: the image, then 0xFF to the end of the last block.
    const std::string& out = g_simOut;
    std::string received;
    ASSERT_TRUE(PumpUntil(m_dlg->Handle(), [&] {
        received = testing::ReadBytes(out);
        return received.size() == kBlocks * kBlockSize;
    })) << received.size();
    EXPECT_EQ(received.substr(0, kLength), bytes);
    EXPECT_EQ(received.substr(kLength), std::string(kBlocks * kBlockSize - kLength, '\xFF'));
}

// An operator at a fixture taps 开始升级 twice: the upgrade the first tap started goes on to
// its end, and the log (--log) holds one record of it.
TEST_F(BoardTest, TappingStartTwiceLetsTheUpgradeGoOnAndRecordsItOnceAgainstTheBoard) {
    constexpr size_t kLength = 30 * kBlockSize;
    const std::string image = m_folder.File("image.bin");
    const std::string log = m_folder.File("boards.jsonl");
    testing::WriteBytes(image, testing::GoodImage(kLength));
    CUpgradeDlg& dlg = Make(std::string(), true);
    OpenLinkedPort();
    dlg.chooseImageFile = [&] { return image; };
    dlg.OnBrowse();
    dlg.Logic().ApplyCommandLine({"--log", log});
    ASSERT_TRUE(dlg.Logic().IsRecording());
    CBoxAnswerer answerer(dlg.Handle());
    SetFocus(Item(res::kStartButton));
    Tap(dlg.Handle(), VK_SPACE);
    ASSERT_FALSE(IsWindowEnabled(Item(res::kStartButton)));
    for (const UINT key : {VK_SPACE, VK_RETURN}) {
        Tap(dlg.Handle(), key);
        ASSERT_TRUE(IsWindowVisible(dlg.Handle()));
        ASSERT_FALSE(IsWindowEnabled(Item(res::kStartButton))) << "stopped by key " << key;
        EXPECT_NE(Text(Item(res::kInfoLine)), text::kUpgradeStopped);
    }
    ASSERT_TRUE(PumpUntil(dlg.Handle(), [this] {
        return Text(Item(res::kStatusLine)) == text::kUpgradeSucceeded;
    })) << Text(Item(res::kStatusLine));
    EXPECT_EQ(Progress(), static_cast<LRESULT>(TotalBlocks(kLength)));
    EXPECT_EQ(GetFocus(), Item(res::kStartButton));
    EXPECT_TRUE(answerer.Seen().empty());

    const std::string record = testing::ReadBytes(log);
    ASSERT_EQ(std::count(record.begin(), record.end(), '\n'), 1) << record;
    for (const std::string& field :
         {std::string("{\"time\":\""), "\"port\":\"COM" + std::to_string(*g_com) + "\",",
          std::string("\"board\":1,\"result\":\"ok\",\"step\":null,"),
          std::string("\"message\":\"") + text::kUpgradeSucceeded + "\",",
          std::string("\"baud\":115200,"),
          "\"blocks\":" + std::to_string(TotalBlocks(kLength)) + ",",
          "\"bytes\":" + std::to_string(kLength) + ",", "\"image\":\"" + [&] {
              std::string escaped;  // a JSON string doubles each backslash
              for (const char c : image) {
                  escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
              }
              return escaped;
          }() + "\","}) {
        EXPECT_NE(record.find(field), std::string::npos) << field << " in " << record;
    }
}

TEST_F(BoardTest, ClosingTheWindowInTheMiddleOfATransferAgainstTheBoard) {
    StartUpgrade(2000 * kBlockSize);
    ASSERT_TRUE(PumpUntil(m_dlg->Handle(), [this] { return Progress() >= 20; }));
    // The reader is handing replies over all the time: the window must end without waiting
    // for itself, with the port closed.
    SendMessageW(m_dlg->Handle(), WM_CLOSE, 0, 0);
    DestroyWindow(m_dlg->Handle());
    EXPECT_EQ(m_dlg->Handle(), nullptr);
    EXPECT_FALSE(m_dlg->Logic().Reader().Running());
    EXPECT_FALSE(m_dlg->Logic().Port().IsOpen());
}

// ---- The program itself ----

// tarvik.exe run as the operator runs it, with its settings in the root of C:.
class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (g_program.empty()) {
            GTEST_SKIP() << "needs --program PATH";
        }
        // Its fallback place is this test's, so that only the root of C: is looked at.
        SetEnvironmentVariableW(L"LOCALAPPDATA", WideFromUtf8(m_folder.Path()).c_str());
        DeleteFileW(WideFromUtf8(kRootSettings).c_str());
    }
    void TearDown() override {
        if (m_process.hProcess != nullptr) {
            TerminateProcess(m_process.hProcess, 1);
            CloseHandle(m_process.hProcess);
            CloseHandle(m_process.hThread);
        }
        DeleteFileW(WideFromUtf8(kRootSettings).c_str());
    }
    // Starts the program with `arguments` (after its name) and waits for its window to show.
    HWND Start(const std::wstring& arguments = std::wstring()) {
        Launch(arguments);
        return Shown(text::kMainTitle);
    }
    void Launch(const std::wstring& arguments) {
        std::wstring command = L"\"" + WideFromUtf8(g_program) + L"\"" + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        EXPECT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &m_process));
    }
    // The program's own dialog titled `title`, once it shows; null when none came.
    HWND Shown(const std::string& title) {
        HWND window = nullptr;
        const std::wstring wide = WideFromUtf8(title);
        PumpUntil(nullptr, [&] {
            // Shown once its initialisation is over.
            // The program's own window: another test's dialog may bear the same title.
            window = nullptr;
            for (HWND w = FindWindowExW(nullptr, nullptr, L"#32770", wide.c_str()); w != nullptr;
                 w = FindWindowExW(nullptr, w, L"#32770", wide.c_str())) {
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                if (pid == m_process.dwProcessId && IsWindowVisible(w)) {
                    window = w;
                    break;
                }
            }
            return window != nullptr;
        });
        return window;
    }
    // Waits for the program to end; its exit code.
    DWORD Ended() {
        const DWORD bound = static_cast<DWORD>(
            std::chrono::duration_cast<std::chrono::milliseconds>(testing::kEventBound).count());
        EXPECT_EQ(WaitForSingleObject(m_process.hProcess, bound), WAIT_OBJECT_0);
        DWORD code = 1;
        GetExitCodeProcess(m_process.hProcess, &code);
        CloseHandle(m_process.hProcess);
        CloseHandle(m_process.hThread);
        m_process = PROCESS_INFORMATION{};
        return code;
    }

    static constexpr char kRootSettings[] = "c:\\tools-tarvik.ini";
    CTempFolder m_folder;
    PROCESS_INFORMATION m_process{};
};

TEST_F(ProgramTest, TheCloseBoxSavesToTheRootOfCAndEscapeSavesNothing) {
    // The earlier program's file: the port list comes back on COM5.
    testing::WriteBytes(kRootSettings, SettingsBytes(std::string("C:\\") + kGbkUpgrade + ".bin",
                                                     std::string(kGbkUpgrade) + ".bin", kCom5,
                                                     kBaud115200, 1, 0, 0));
    HWND window = Start();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SendDlgItemMessageW(window, res::kPortList, CB_GETCURSEL, 0, 0), kCom5);
    // Another process's control: its text comes by message, not from GetWindowText.
    wchar_t name[64] = {};
    SendDlgItemMessageW(window, res::kFileBox, WM_GETTEXT, 64, reinterpret_cast<LPARAM>(name));
    EXPECT_EQ(Utf8FromWide(name), "升级.bin");
    // Esc ends it without saving: the file stays as it was.
    SendDlgItemMessageW(window, res::kPortList, CB_SETCURSEL, 7, 0);
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_EQ(Ended(), 0u);
    EXPECT_NE(testing::ReadBytes(kRootSettings).find("Scom=4\r\n"), std::string::npos);

    // The close box saves, in code page 936, in the root of C:.
    window = Start();
    ASSERT_NE(window, nullptr);
    SendDlgItemMessageW(window, res::kPortList, CB_SETCURSEL, 7, 0);
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(Ended(), 0u);
    EXPECT_EQ(testing::ReadBytes(kRootSettings),
              SettingsBytes(std::string("C:\\") + kGbkUpgrade + ".bin",
                            std::string(kGbkUpgrade) + ".bin", 7, kBaud115200, 1, 0, 0));
}

// tarvik.exe --log with a log it cannot open: it says so in a message box captioned with its
// name before its window shows, and the window then works without recording.
TEST_F(ProgramTest, ALogThatCannotBeOpenedIsSaidAndTheWindowGoesOn) {
    const std::string missing = m_folder.File("missing") + "\\boards.jsonl";
    Launch(L" --log \"" + WideFromUtf8(missing) + L"\"");
    HWND box = Shown("tarvik");
    ASSERT_NE(box, nullptr);
    constexpr int kMessageText = 0xFFFF;  // a message box's text
    wchar_t said[512] = {};
    SendDlgItemMessageW(box, kMessageText, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(said));
    EXPECT_EQ(Utf8FromWide(said).rfind(kLogOpenFailedText, 0), 0u) << Utf8FromWide(said);
    EXPECT_NE(Utf8FromWide(said).find(missing), std::string::npos) << Utf8FromWide(said);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    HWND window = Shown(text::kMainTitle);
    ASSERT_NE(window, nullptr);
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_EQ(Ended(), 0u);
}

}  // namespace

}  // namespace tarvik

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--com") == 0) {
            tarvik::g_com = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--sim-out") == 0) {
            tarvik::g_simOut = tarvik::WindowsPathOf(argv[++i]);
        } else if (std::strcmp(argv[i], "--program") == 0) {
            tarvik::g_program = tarvik::WindowsPathOf(argv[++i]);
        }
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    return RUN_ALL_TESTS();
}
