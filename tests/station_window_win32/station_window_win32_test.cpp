// The station's Win32 window in process under Wine, over a scripted station: what 开始 hands
// the station, the panels at each stage, 停止 and closing asking first (with the system's own
// box, whose Enter keeps the boards going), keys that stop nothing, a log failure said in
// the window, the records, the sounds, and a shortcut's run ending with its exit code.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scripted_station.h"
#include "serial/wide_text.h"
#include "station/station_options.h"
#include "station_window/station_window_win32.h"
#include "win32_support.h"

namespace tarvik::station {
namespace {

using namespace std::chrono_literals;
using testing::CTempFolder;
using testing::PumpFor;
using testing::PumpUntil;

using testing::CScriptedSource;
using testing::Event;
using testing::FailedLook;
using testing::Look;
using testing::Script;

std::string TextOf(HWND window) {
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return Utf8FromWide(text);
}

std::string Cell(HWND list, int row, int column) {
    wchar_t text[256] = {};
    ListView_GetItemText(list, row, column, text, 256);
    return Utf8FromWide(text);
}

// Enough redraw periods for the window to have pulled a look at the station.
constexpr std::chrono::milliseconds kRedraws = kRedrawPeriod * 4;

class StationWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"LOCALAPPDATA", WideFromUtf8(m_folder.Path()).c_str());
    }

    std::unique_ptr<CStationWindow> Make(const StationCommandLine& line = {},
                                         const std::vector<PresentPort>& present = {}) {
        m_script = std::make_shared<Script>();
        auto window =
            std::make_unique<CStationWindow>(std::make_unique<CScriptedSource>(m_script),
                                             m_folder.File("tarvik-station.ini"), line, present);
        window->askStop = [this](const std::string& text) {
            m_asked.push_back(text);
            return m_answerStop;
        };
        window->showMessage = [this](const std::string& text) { m_messages.push_back(text); };
        window->beep = [this] { ++m_beeps; };
        return window;
    }

    // A window running on COM1 and COM2, both fixtures empty.
    std::unique_ptr<CStationWindow> Running(StationCommandLine line = {}) {
        line.ports = {"COM1", "COM2"};
        line.image = "C:\\firmware.bin";
        line.log = m_folder.File("boards.csv");
        auto window = Make(line);
        m_script->look = {Look("COM1", PortStage::PlaceBoard), Look("COM2", PortStage::PlaceBoard)};
        EXPECT_TRUE(window->Create());
        ShowWindow(window->Handle(), SW_SHOW);
        window->OnStart();
        return window;
    }

    CTempFolder m_folder;
    std::shared_ptr<Script> m_script;
    std::vector<std::string> m_asked;
    std::vector<std::string> m_messages;
    bool m_answerStop = false;
    int m_beeps = 0;
};

TEST_F(StationWindowTest, StartHandsTheStripToTheStationAndLocksIt) {
    auto window = Running();
    ASSERT_EQ(m_script->starts.size(), 1u);
    const StationRequest& request = m_script->starts[0];
    EXPECT_EQ(request.ports, (std::vector<std::string>{"COM1", "COM2"}));
    EXPECT_EQ(request.image, "C:\\firmware.bin");
    EXPECT_EQ(request.log, m_folder.File("boards.csv"));
    EXPECT_EQ(request.dataBitsIndex, 1);
    EXPECT_FALSE(request.count);
    EXPECT_TRUE(window->Running());
    EXPECT_FALSE(IsWindowEnabled(window->Item(kStartButton)));
    EXPECT_TRUE(IsWindowEnabled(window->Item(kStopButton)));
    for (const int id : {kImageBox, kLogBox, kImageBrowse, kLogBrowse, kPortList, kParityList}) {
        EXPECT_FALSE(IsWindowEnabled(window->Item(id))) << id;
    }
    EXPECT_NE(GetFocus(), window->Item(kStopButton));
    ASSERT_EQ(window->Panels().size(), 2u);
    EXPECT_EQ(TextOf(window->Item(kFirstPanel + 1)), "COM2");
    EXPECT_EQ(window->Item(kFirstPanel + 2), nullptr);
}

TEST_F(StationWindowTest, AStartWithoutImageOrPortIsRefusedBeforeTheStation) {
    for (const bool withImage : {false, true}) {
        SCOPED_TRACE(withImage ? "an image, no port" : "no image");
        StationCommandLine line;
        if (withImage) {
            line.image = "C:\\firmware.bin";
        }
        auto window = Make(line);
        ASSERT_TRUE(window->Create());
        m_messages.clear();
        window->OnStart();
        EXPECT_EQ(m_messages.size(), 1u);
        EXPECT_TRUE(m_script->starts.empty());
        EXPECT_FALSE(window->Running());
        EXPECT_TRUE(IsWindowEnabled(window->Item(kStartButton)));
    }
}

// The panels follow the station at the redraw period, whatever stage a port is at.
TEST_F(StationWindowTest, PanelsShowEachStage) {
    auto window = Running();
    const PortLook failed = FailedLook("COM2", "升级失败(0x1d)");
    PortLook succeeded = Look("COM1", PortStage::WaitingGone);
    succeeded.lastVerdict = BoardVerdict::Succeeded;
    succeeded.boards = 1;
    succeeded.succeeded = 1;
    PortLook next = Look("COM1", PortStage::PlaceBoard);
    next.board = 2;
    struct Case {
        const char* what;
        PortLook look;
        std::string word;
        std::string lineHas;
    };
    const Case cases[] = {
        {"a board answered the search", Look("COM2", PortStage::Searching), "正在寻找设备", ""},
        {"in transfer", Look("COM2", PortStage::Transfer, 74), "升级中 37%", ""},
        {"a failure, board still on", failed, "失败", "checksum"},
        {"a success, board still on", succeeded, "成功", "请取下电路板"},
        {"the next board awaited", next, "请放上电路板", ""},
        {"the adapter pulled", Look("COM2", PortStage::Reopening), "设备已拔出", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_script->look[1] = c.look;
        m_script->look[1].name = "COM2";
        ASSERT_TRUE(PumpUntil(window->Handle(), [&] { return window->Panels()[1].word == c.word; }))
            << window->Panels()[1].word;
        EXPECT_NE(window->Panels()[1].line.find(c.lineHas), std::string::npos)
            << window->Panels()[1].line;
        EXPECT_EQ(window->Panels()[0].word, "请放上电路板");  // the other port unchanged
        const std::string totals = TextOf(window->Item(kTotalsLine));
        EXPECT_EQ(totals.rfind("板数 " + std::to_string(c.look.boards), 0), 0u) << totals;
    }
}

// 停止 during a transfer asks first; keeping the boards going changes nothing, stopping
// interrupts them and the run ends with the interrupted code. Without a transfer nothing asks.
TEST_F(StationWindowTest, StopAsksFirstDuringATransfer) {
    {
        auto window = Running();
        m_script->look[0] = Look("COM1", PortStage::Transfer, 74);
        m_answerStop = false;
        SetFocus(window->Item(kStopButton));  // as a click on it leaves it
        SendMessageW(window->Handle(), WM_COMMAND, MAKEWPARAM(kStopButton, BN_CLICKED),
                     reinterpret_cast<LPARAM>(window->Item(kStopButton)));
        ASSERT_EQ(m_asked.size(), 1u);
        EXPECT_NE(m_asked[0].find("COM1"), std::string::npos) << m_asked[0];
        EXPECT_EQ(m_asked[0].find("COM2"), std::string::npos) << m_asked[0];
        EXPECT_EQ(m_script->stops, 0);
        EXPECT_TRUE(window->Running());
        // The focus is not left on 停止, where a key would press it again.
        EXPECT_NE(GetFocus(), window->Item(kStopButton));

        m_answerStop = true;
        SendMessageW(window->Handle(), WM_COMMAND, MAKEWPARAM(kStopButton, BN_CLICKED),
                     reinterpret_cast<LPARAM>(window->Item(kStopButton)));
        EXPECT_EQ(m_script->stops, 1);
        EXPECT_FALSE(window->Running());
        EXPECT_EQ(window->ExitCode(), kExitInterrupted);
        EXPECT_EQ(window->Panels()[0].word, "已中断");
        EXPECT_TRUE(IsWindowEnabled(window->Item(kStartButton)));
    }
    m_asked.clear();
    auto window = Running();
    window->OnStop();
    EXPECT_TRUE(m_asked.empty());
    EXPECT_EQ(m_script->stops, 1);
    EXPECT_EQ(window->ExitCode(), kExitOk);
}

// Closing the window during a transfer is the same question; kept, the window stays.
TEST_F(StationWindowTest, ClosingAsksFirstDuringATransfer) {
    auto window = Running();
    m_script->look[1] = Look("COM2", PortStage::Transfer, 74);
    HWND hwnd = window->Handle();
    m_answerStop = false;
    SendMessageW(hwnd, WM_CLOSE, 0, 0);
    EXPECT_EQ(m_asked.size(), 1u);
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_EQ(m_script->stops, 0);
    m_answerStop = true;
    SendMessageW(hwnd, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(m_script->stops, 1);
    EXPECT_EQ(window->ExitCode(), kExitInterrupted);
}

// No key stops a transfer: Esc, Enter and Space wherever the focus is, and the commands they
// would make of a dialog.
TEST_F(StationWindowTest, KeysStopNothing) {
    auto window = Running();
    m_script->look[0] = Look("COM1", PortStage::Transfer, 74);
    HWND hwnd = window->Handle();
    for (const int id : {IDOK, IDCANCEL}) {
        SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    }
    for (const HWND focus : {GetFocus(), window->Item(kSoundsBox), window->Item(kRecordList)}) {
        SetFocus(focus);
        for (const WPARAM key : {VK_ESCAPE, VK_RETURN, VK_SPACE}) {
            PostMessageW(GetFocus(), WM_KEYDOWN, key, 0);
            PostMessageW(GetFocus(), WM_KEYUP, key, 0);
        }
        PumpFor(hwnd, kRedraws);
    }
    EXPECT_TRUE(m_asked.empty());
    EXPECT_EQ(m_script->stops, 0);
    EXPECT_TRUE(window->Running());
    EXPECT_TRUE(IsWindow(hwnd));
}

// The system's question: its buttons say what they do, Enter answers 继续升级, and a click on
// 停止 stops the boards.
TEST_F(StationWindowTest, TheStopQuestionDefaultsToGoingOn) {
    StationCommandLine line;
    line.ports = {"COM1"};
    line.image = "C:\\firmware.bin";
    line.log = m_folder.File("boards.csv");
    // The window's own question, answered by a thread as an operator would.
    m_script = std::make_shared<Script>();
    auto window = std::make_unique<CStationWindow>(std::make_unique<CScriptedSource>(m_script),
                                                   m_folder.File("tarvik-station.ini"), line,
                                                   std::vector<PresentPort>{});
    window->beep = [] {};
    std::mutex mutex;
    std::vector<std::string> buttons;
    bool defaultButton = false;  // 继续升级 is the box's default: Enter answers it
    std::atomic<bool> stop{false};
    std::thread answerer([&] {
        const auto deadline = std::chrono::steady_clock::now() + testing::kEventBound;
        while (!stop && std::chrono::steady_clock::now() < deadline) {
            HWND box = FindWindowW(L"#32770", WideFromUtf8(kAskStopTitle).c_str());
            // Once the box is up with its buttons named.
            if (box != nullptr && IsWindowVisible(box) && !TextOf(GetDlgItem(box, IDNO)).empty() &&
                TextOf(GetDlgItem(box, IDNO)) != "否" && TextOf(GetDlgItem(box, IDNO)) != "No") {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    buttons = {TextOf(GetDlgItem(box, IDYES)), TextOf(GetDlgItem(box, IDNO))};
                    defaultButton = (GetWindowLongW(GetDlgItem(box, IDNO), GWL_STYLE) &
                                     BS_TYPEMASK) == BS_DEFPUSHBUTTON;
                }
                PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(box, IDYES)));
                return;
            }
            std::this_thread::sleep_for(10ms);
        }
    });
    m_script->look = {Look("COM1", PortStage::Transfer, 74)};
    ASSERT_TRUE(window->Create());
    ShowWindow(window->Handle(), SW_SHOW);
    window->OnStart();
    EXPECT_TRUE(window->OnStop());
    stop = true;
    answerer.join();
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(buttons, (std::vector<std::string>{"停止", "继续升级"}));
    EXPECT_TRUE(defaultButton);
    EXPECT_EQ(m_script->stops, 1);
    EXPECT_EQ(window->ExitCode(), kExitInterrupted);
}

TEST_F(StationWindowTest, ALogThatCannotBeWrittenIsSaid) {
    auto window = Running();
    EXPECT_FALSE(IsWindowVisible(window->Item(kNoticeLine)));
    m_script->logFailure = "C:\\boards.csv: 磁盘已满";
    ASSERT_TRUE(PumpUntil(window->Handle(),
                          [&] { return IsWindowVisible(window->Item(kNoticeLine)) != FALSE; }));
    const std::string notice = TextOf(window->Item(kNoticeLine));
    EXPECT_NE(notice.find("记录文件无法写入"), std::string::npos) << notice;
    EXPECT_NE(notice.find("磁盘已满"), std::string::npos) << notice;
    m_script->ended = true;  // the station takes no further board
    ASSERT_TRUE(PumpUntil(window->Handle(), [&] { return !window->Running(); }));
    EXPECT_EQ(window->ExitCode(), kExitFailed);
    EXPECT_TRUE(IsWindowVisible(window->Item(kNoticeLine)));
}

// The records list: newest first, field by field as the log writes them; each verdict's
// sound (one beep for a success, a series for a failure, none when switched off).
TEST_F(StationWindowTest, RecordsAndSounds) {
    auto window = Running();
    m_script->events = {Event("COM1", 1, BoardVerdict::Succeeded),
                        Event("COM2", 1, BoardVerdict::Failed)};
    HWND list = window->Item(kRecordList);
    ASSERT_TRUE(PumpUntil(window->Handle(), [&] { return ListView_GetItemCount(list) == 2; }));
    EXPECT_EQ(Cell(list, 0, 0), "2026-12-11T06:01:00.000Z");
    EXPECT_EQ(Cell(list, 0, 1), "COM2");
    EXPECT_EQ(Cell(list, 0, 3), "failed");
    EXPECT_EQ(Cell(list, 0, 4), "checksum");
    EXPECT_EQ(Cell(list, 1, 1), "COM1");
    EXPECT_EQ(Cell(list, 1, 3), "ok");
    EXPECT_EQ(Cell(list, 1, 4), "");
    EXPECT_EQ(Cell(list, 1, 2), "1");
    EXPECT_EQ(Cell(list, 1, 5).rfind("3.", 0), 0u) << Cell(list, 1, 5);
    const int expected = BeepsFor(Sound::Short) + BeepsFor(Sound::Long);
    ASSERT_TRUE(PumpUntil(window->Handle(), [&] { return m_beeps == expected; }));
    PumpFor(window->Handle(), kBeepGap * 3);
    EXPECT_EQ(m_beeps, expected);

    CheckDlgButton(window->Handle(), kSoundsBox, BST_UNCHECKED);
    m_script->events = {Event("COM2", 2, BoardVerdict::Failed)};
    ASSERT_TRUE(PumpUntil(window->Handle(), [&] { return ListView_GetItemCount(list) == 3; }));
    PumpFor(window->Handle(), kBeepGap * 3);
    EXPECT_EQ(m_beeps, expected);
}

// The port list: every present port with what the system calls it, then a port of the
// command line the system does not list, checked all the same.
TEST_F(StationWindowTest, PortListShowsTheSystemsNames) {
    StationCommandLine line;
    line.ports = {"COM3", "COM21"};
    auto window =
        Make(line, {{"COM1", "通讯端口", ""}, {"COM3", "USB Serial Port (COM3)", "A10K"}});
    ASSERT_TRUE(window->Create());
    HWND list = window->Item(kPortList);
    ASSERT_EQ(ListView_GetItemCount(list), 3);
    const std::vector<std::vector<std::string>> expected = {
        {"COM1", "通讯端口", "0"},
        {"COM3", "USB Serial Port (COM3)  A10K", "1"},
        {"COM21", kPortAbsent, "1"},
    };
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(Cell(list, row, 0), expected[row][0]);
        EXPECT_EQ(Cell(list, row, 1), expected[row][1]);
        EXPECT_EQ(ListView_GetCheckState(list, row) ? "1" : "0", expected[row][2]);
    }
    // Checking a port by hand makes it part of the next start.
    ListView_SetCheckState(list, 0, TRUE);
    SetDlgItemTextW(window->Handle(), kImageBox, L"C:\\firmware.bin");
    window->OnStart();
    ASSERT_EQ(m_script->starts.size(), 1u);
    EXPECT_EQ(m_script->starts[0].ports, (std::vector<std::string>{"COM1", "COM3", "COM21"}));
    EXPECT_EQ(window->Panels().size(), 3u);
}

// A shortcut's run (--count): the window ends with the run, with tarvik-cli's codes; a run
// that cannot begin ends it at once with the start's code.
TEST_F(StationWindowTest, AShortcutsRunEndsWithItsCode) {
    struct Case {
        const char* what;
        uint32_t failed;
        int code;
    };
    for (const Case& c : {Case{"all succeeded", 0, kExitOk}, Case{"one failed", 1, kExitFailed}}) {
        SCOPED_TRACE(c.what);
        StationCommandLine line;
        line.count = 2;
        auto window = Running(line);
        HWND hwnd = window->Handle();
        EXPECT_EQ(m_script->starts[0].count, std::optional<uint64_t>(2));
        for (PortLook& port : m_script->look) {
            port.stage = PortStage::Idle;
            port.lastVerdict = BoardVerdict::Succeeded;
            port.boards = 2;
            port.succeeded = 2;
        }
        m_script->look[1].failed = c.failed;
        m_script->look[1].succeeded -= c.failed;
        m_script->ended = true;
        ASSERT_TRUE(PumpUntil(hwnd, [&] { return !IsWindow(hwnd); }));
        EXPECT_EQ(window->ExitCode(), c.code);
    }
    StationCommandLine line;
    line.ports = {"COM1"};
    line.image = "C:\\firmware.bin";
    line.count = 1;
    line.start = true;
    auto window = Make(line);
    m_script->startError = {StartError::Kind::Port, "COM1: 系统找不到指定的文件。"};
    window->Create();
    EXPECT_EQ(window->Handle(), nullptr);
    EXPECT_EQ(window->ExitCode(), kExitPortFailed);
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_NE(m_messages[0].find("COM1"), std::string::npos);
}

}  // namespace
}  // namespace tarvik::station
