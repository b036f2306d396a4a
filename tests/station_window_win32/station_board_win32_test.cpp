// The station's Win32 window in process under Wine on the real station, against rows of
// simulated boards on pseudo-terminals linked as COM21 and COM22 of the prefix (with_boards.sh
// starts them with each case's faults): a row with a failure among good boards, a board that
// stays on its fixture, 停止 in the middle of transfers. The test follows every panel's state
// word as the window shows it, and reads the records in the window and in the log.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "serial/wide_text.h"
#include "station/station_options.h"
#include "station_window/station_source.h"
#include "station_window/station_window_win32.h"
#include "win32_support.h"

namespace tarvik::station {
namespace {

using namespace std::chrono_literals;
using testing::CTempFolder;
using testing::PumpUntil;

// A paced board takes about 1.1 s for this image at 115200 baud: long enough for the window
// to show its percent at the redraw period, short enough for rows of boards.
constexpr size_t kImageLength = 8 * 1024;
// A transfer long enough to be stopped in its middle.
constexpr size_t kLongImageLength = 160 * 1024;
// Every row of boards ends within this on a busy machine.
constexpr std::chrono::minutes kRowBound{3};

std::string Cell(HWND list, int row, int column) {
    wchar_t text[256] = {};
    ListView_GetItemText(list, row, column, text, 256);
    return Utf8FromWide(text);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, ',')) {
        fields.push_back(field);
    }
    return fields;
}

// The word without its percent ("升级中 37%" is 升级中).
std::string Stem(const std::string& word) {
    return word.substr(0, word.find(' '));
}

class StationBoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"LOCALAPPDATA", WideFromUtf8(m_folder.Path()).c_str());
    }

    // The window on COM21 and COM22, started at once as a shortcut would.
    std::unique_ptr<CStationWindow> Start(size_t imageLength, std::optional<uint64_t> count) {
        testing::WriteBytes(m_image, testing::GoodImage(imageLength));
        StationCommandLine line;
        line.ports = {"COM21", "COM22"};
        line.image = m_image;
        line.log = m_log;
        line.count = count;
        line.start = true;
        auto window = std::make_unique<CStationWindow>(
            StationRun(), m_folder.File("tarvik-station.ini"), line, std::vector<PresentPort>{});
        window->beep = [this] { ++m_beeps; };
        window->askStop = [this](const std::string& text) {
            m_asked.push_back(text);
            return m_answerStop;
        };
        window->showMessage = [this](const std::string& text) { m_messages.push_back(text); };
        EXPECT_TRUE(window->Create());
        if (window->Handle() != nullptr) {
            ShowWindow(window->Handle(), SW_SHOW);
        }
        return window;
    }

    // Runs the window until `done`, noting each panel's words as they change.
    bool Follow(CStationWindow& window, const std::function<bool()>& done,
                std::chrono::milliseconds bound = kRowBound) {
        HWND hwnd = window.Handle();
        return PumpUntil(
            hwnd,
            [&] {
                for (size_t i = 0; i < window.Panels().size(); ++i) {
                    std::vector<std::string>& seen = m_words[window.Panels()[i].name];
                    const std::string word = Stem(window.Panels()[i].word);
                    if (seen.empty() || seen.back() != word) {
                        seen.push_back(word);
                    }
                }
                return done();
            },
            bound);
    }

    // True when `words` holds `wanted` in this order (other words may come between).
    static bool InOrder(const std::vector<std::string>& words,
                        const std::vector<std::string>& wanted) {
        auto at = words.begin();
        for (const std::string& word : wanted) {
            at = std::find(at, words.end(), word);
            if (at == words.end()) {
                return false;
            }
            ++at;
        }
        return true;
    }

    // The verdicts a panel showed, in order.
    std::vector<std::string> Verdicts(const std::string& port) {
        std::vector<std::string> verdicts;
        for (const std::string& word : m_words[port]) {
            if (word == kWordSucceeded || word == kWordFailed) {
                verdicts.push_back(word);
            }
        }
        return verdicts;
    }

    std::string Words(const std::string& port) {
        std::string text;
        for (const std::string& word : m_words[port]) {
            text += word + " ";
        }
        return text;
    }

    CTempFolder m_folder;
    std::string m_image = m_folder.File("relay_v2.bin");
    std::string m_log = m_folder.File("boards.csv");
    std::map<std::string, std::vector<std::string>> m_words;
    std::vector<std::string> m_asked;
    std::vector<std::string> m_messages;
    bool m_answerStop = false;
    int m_beeps = 0;
};

// COM21: three good boards. COM22: three boards, the second refusing its third block. With
// --count 3 the window ends after the third board of each port with code 1; every board is
// recorded once, in the window and in the log, field by field.
TEST_F(StationBoardTest, ARowWithAFailureAmongGoodBoards) {
    auto window = Start(kImageLength, 3);
    HWND hwnd = window->Handle();
    ASSERT_NE(hwnd, nullptr) << (m_messages.empty() ? "" : m_messages[0]);
    HWND list = window->Item(kRecordList);
    int rows = 0;
    ASSERT_TRUE(Follow(*window,
                       [&] {
                           if (IsWindow(hwnd)) {
                               rows = ListView_GetItemCount(list);
                           }
                           return !IsWindow(hwnd);
                       }))
        << Words("COM21") << "/ " << Words("COM22");
    EXPECT_EQ(window->ExitCode(), kExitFailed);
    EXPECT_TRUE(m_asked.empty());  // the run ended by itself: nothing to ask

    // What each panel said: every verdict in order (each stays in sight until its board
    // has gone), the transfer's percent, and the empty fixture between boards.
    EXPECT_EQ(Verdicts("COM21"), (std::vector<std::string>{"成功", "成功", "成功"}))
        << Words("COM21");
    EXPECT_EQ(Verdicts("COM22"), (std::vector<std::string>{"成功", "失败", "成功"}))
        << Words("COM22");
    for (const char* port : {"COM21", "COM22"}) {
        EXPECT_TRUE(InOrder(m_words[port], {"升级中", "成功", "请放上电路板"})) << Words(port);
    }

    // The records the window listed, newest first.
    const std::deque<RecordRow>& shown = window->Records().Rows();
    ASSERT_EQ(shown.size(), 6u);
    std::map<std::string, std::vector<std::string>> results;  // port: result by board
    for (auto row = shown.rbegin(); row != shown.rend(); ++row) {
        std::vector<std::string>& port = results[row->port];
        EXPECT_EQ(row->board, std::to_string(port.size() + 1)) << row->port;
        port.push_back(row->result + (row->step.empty() ? "" : "/" + row->step));
        EXPECT_FALSE(row->time.empty());
        EXPECT_NE(row->seconds.find('.'), std::string::npos) << row->seconds;
    }
    EXPECT_EQ(results["COM21"], (std::vector<std::string>{"ok", "ok", "ok"}));
    EXPECT_EQ(results["COM22"], (std::vector<std::string>{"ok", "failed/block", "ok"}));

    // The log: its header, then one line per board, each board once.
    const std::vector<std::string> log = Lines(testing::ReadBytes(m_log));
    ASSERT_EQ(log.size(), 7u);
    const std::vector<std::string> header = Fields(log[0]);
    const auto column = [&](const char* name) {
        const auto at = std::find_if(header.begin(), header.end(), [&](const std::string& field) {
            return field.find(name) != std::string::npos;
        });
        return static_cast<size_t>(at - header.begin());
    };
    std::map<std::string, int> boards;
    for (size_t i = 1; i < log.size(); ++i) {
        const std::vector<std::string> fields = Fields(log[i]);
        ASSERT_GT(fields.size(), column("sha256")) << log[i];
        ++boards[fields[column("port")] + "#" + fields[column("board")]];
        const bool failure = fields[column("port")] == "COM22" && fields[column("board")] == "2";
        EXPECT_EQ(fields[column("result")], failure ? "failed" : "ok") << log[i];
        EXPECT_EQ(fields[column("step")], failure ? "block" : "") << log[i];
        EXPECT_EQ(fields[column("image")], m_image) << log[i];
        EXPECT_EQ(fields[column("bytes")], std::to_string(kImageLength)) << log[i];
    }
    EXPECT_EQ(boards.size(), 6u);
    for (const auto& [board, times] : boards) {
        EXPECT_EQ(times, 1) << board;
    }
    // A sound for every verdict: short for the five successes, longer for the failure.
    EXPECT_EQ(m_beeps, 5 * BeepsFor(Sound::Short) + BeepsFor(Sound::Long));
}

// A board that stays on its fixture after its verdict keeps it in sight, with 请取下电路板,
// and is not taken again; the next board is taken once it has gone.
TEST_F(StationBoardTest, ABoardThatStaysIsNotTakenTwice) {
    auto window = Start(kImageLength, 2);
    HWND hwnd = window->Handle();
    ASSERT_NE(hwnd, nullptr);
    // COM21's first board stays (its row's --stay); wait for its verdict.
    ASSERT_TRUE(Follow(*window, [&] {
        return window->Panels()[0].word == kWordSucceeded &&
               window->Panels()[0].line.find(kWordRemoveBoard) != std::string::npos;
    })) << Words("COM21");
    // While it stays, the verdict and the request to take it off stay in sight, and no
    // further record comes from COM21.
    const auto verdictSeen = std::chrono::steady_clock::now();
    ASSERT_TRUE(Follow(
        *window, [&] { return std::chrono::steady_clock::now() - verdictSeen > 3s; }, 10s));
    EXPECT_EQ(window->Panels()[0].word, kWordSucceeded);
    EXPECT_NE(window->Panels()[0].line.find(kWordRemoveBoard), std::string::npos);
    size_t com21Records = 0;
    for (const RecordRow& row : window->Records().Rows()) {
        com21Records += row.port == "COM21" ? 1 : 0;
    }
    EXPECT_EQ(com21Records, 1u);
    // Then it goes, and the second board is taken and recorded once.
    std::string lines;
    ASSERT_TRUE(Follow(*window,
                       [&] {
                           for (const PanelView& panel : window->Panels()) {
                               if (panel.word == kWordFailed) {
                                   lines = panel.name + ": " + panel.line;
                               }
                           }
                           return !IsWindow(hwnd);
                       }))
        << Words("COM21") << "/ " << Words("COM22");
    EXPECT_EQ(window->ExitCode(), kExitOk) << lines;
    const std::vector<std::string> log = Lines(testing::ReadBytes(m_log));
    EXPECT_EQ(log.size(), 5u);  // the header and two boards on each port
    EXPECT_EQ(Verdicts("COM21"), (std::vector<std::string>{"成功", "成功"})) << Words("COM21");
    EXPECT_TRUE(InOrder(m_words["COM21"], {"升级中", "成功", "请放上电路板"})) << Words("COM21");
}

// 停止 while both boards are in transfer asks first; 继续升级 changes nothing, 停止 ends both
// transfers, each recorded as interrupted, and the run ends with the interrupted code.
TEST_F(StationBoardTest, StopInTheMiddleOfTransfers) {
    auto window = Start(kLongImageLength, std::nullopt);
    HWND hwnd = window->Handle();
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(Follow(*window,
                       [&] {
                           return Stem(window->Panels()[0].word) == kWordUpgrading &&
                                  Stem(window->Panels()[1].word) == kWordUpgrading;
                       }))
        << Words("COM21") << "/ " << Words("COM22");
    m_answerStop = false;
    SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(kStopButton, BN_CLICKED),
                 reinterpret_cast<LPARAM>(window->Item(kStopButton)));
    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_NE(m_asked[0].find("COM21"), std::string::npos) << m_asked[0];
    EXPECT_NE(m_asked[0].find("COM22"), std::string::npos) << m_asked[0];
    EXPECT_TRUE(window->Running());
    // The transfers go on after the answer.
    const std::string before = window->Panels()[0].word;
    ASSERT_TRUE(Follow(*window, [&] { return window->Panels()[0].word != before; }))
        << Words("COM21");
    EXPECT_EQ(Stem(window->Panels()[0].word), kWordUpgrading);

    m_answerStop = true;
    SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(kStopButton, BN_CLICKED),
                 reinterpret_cast<LPARAM>(window->Item(kStopButton)));
    EXPECT_EQ(m_asked.size(), 2u);
    EXPECT_FALSE(window->Running());
    EXPECT_EQ(window->ExitCode(), kExitInterrupted);
    for (const PanelView& panel : window->Panels()) {
        EXPECT_EQ(panel.word, kWordInterrupted) << panel.name;
    }
    const std::vector<std::string> log = Lines(testing::ReadBytes(m_log));
    ASSERT_EQ(log.size(), 3u);
    for (size_t i = 1; i < log.size(); ++i) {
        EXPECT_NE(log[i].find(",interrupted,"), std::string::npos) << log[i];
    }
    EXPECT_TRUE(IsWindowEnabled(window->Item(kStartButton)));
    // The list in the window, field by field.
    HWND list = window->Item(kRecordList);
    ASSERT_EQ(ListView_GetItemCount(list), 2);
    std::vector<std::string> ports;
    for (int row = 0; row < 2; ++row) {
        ports.push_back(Cell(list, row, 1));
        EXPECT_EQ(Cell(list, row, 0).size(), std::strlen("2026-12-11T07:14:41.059Z"));
        EXPECT_EQ(Cell(list, row, 2), "1");
        EXPECT_EQ(Cell(list, row, 3), "interrupted");
        EXPECT_EQ(Cell(list, row, 4), "");
        EXPECT_GT(std::stod(Cell(list, row, 5)), 0.0) << Cell(list, row, 5);
    }
    std::sort(ports.begin(), ports.end());
    EXPECT_EQ(ports, (std::vector<std::string>{"COM21", "COM22"}));
}

}  // namespace
}  // namespace tarvik::station
