// What the station window decides, below both of its views: the panels' words and colours at
// each stage, the bar and the time left, totals and yield, the records table, the grid, the
// sounds, asking before a stop, the exit code, the remembered settings and the command line.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "station/station_options.h"
#include "station_window/station_logic.h"
#include "station_window/station_settings.h"
#include "tests/support/scoped_config_home.h"
#include "tests/support/temp_folder.h"

namespace tarvik::station {
namespace {

using namespace std::chrono_literals;

PortLook Port(PortStage stage) {
    PortLook port;
    port.name = "COM7";
    port.stage = stage;
    return port;
}

PortLook Judged(PortStage stage, BoardVerdict verdict) {
    PortLook port = Port(stage);
    port.board = 3;
    port.lastVerdict = verdict;
    if (verdict == BoardVerdict::Failed) {
        port.lastReason = "升级失败(0x1b)";
        port.lastStep = "block";
    }
    return port;
}

TEST(StationPanel, StateWordAndColourAtEachStage) {
    PortLook transfer = Port(PortStage::Transfer);
    transfer.blocks = 37;
    transfer.totalBlocks = 100;
    transfer.transferElapsed = 37s;
    // The station's own figures win over the view's estimate.
    PortLook stationFigures = transfer;
    stationFigures.percent = 40;
    stationFigures.timeLeft = 61500ms;
    // Once the board has gone, its verdict gives way: the fixture is empty.
    PortLook emptyAfterVerdict = Judged(PortStage::PlaceBoard, BoardVerdict::Succeeded);

    struct Case {
        const char* what;
        PortLook port;
        std::string word;
        PanelColour colour;
        std::string line;
        PanelColour lineColour;
    };
    const std::vector<Case> cases = {
        {"not started", Port(PortStage::Idle), kWordStopped, PanelColour::Grey, "",
         PanelColour::Grey},
        {"empty fixture", Port(PortStage::PlaceBoard), kWordPlaceBoard, PanelColour::Grey, "",
         PanelColour::Grey},
        {"after a verdict", emptyAfterVerdict, kWordPlaceBoard, PanelColour::Grey, "",
         PanelColour::Grey},
        {"board answered", Port(PortStage::Searching), kWordSearching, PanelColour::Blue, "",
         PanelColour::Grey},
        {"transfer", transfer, "升级中 37%", PanelColour::Blue, "剩余 1:03", PanelColour::Blue},
        {"station's figures", stationFigures, "升级中 40%", PanelColour::Blue, "剩余 1:02",
         PanelColour::Blue},
        {"success on the fixture", Judged(PortStage::WaitingGone, BoardVerdict::Succeeded),
         kWordSucceeded, PanelColour::Green, kWordRemoveBoard, PanelColour::Amber},
        {"failure on the fixture", Judged(PortStage::WaitingGone, BoardVerdict::Failed),
         kWordFailed, PanelColour::Red, "升级失败(0x1b)  步骤 block  请取下电路板",
         PanelColour::Red},
        {"board to go, no verdict", Port(PortStage::WaitingGone), kWordRemoveBoard,
         PanelColour::Amber, "", PanelColour::Grey},
        {"adapter pulled", Judged(PortStage::Reopening, BoardVerdict::Succeeded), kWordDeviceGone,
         PanelColour::Grey, "", PanelColour::Grey},
        {"ended after a failure", Judged(PortStage::Idle, BoardVerdict::Failed), kWordFailed,
         PanelColour::Red, "升级失败(0x1b)  步骤 block", PanelColour::Red},
        {"ended by 停止", Judged(PortStage::Idle, BoardVerdict::Interrupted), kWordInterrupted,
         PanelColour::Amber, "", PanelColour::Grey},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const PanelView view = MakePanel(c.port);
        EXPECT_EQ(view.name, "COM7");
        EXPECT_EQ(view.word, c.word);
        EXPECT_EQ(view.colour, c.colour);
        EXPECT_EQ(view.line, c.line);
        if (!c.line.empty()) {
            EXPECT_EQ(view.lineColour, c.lineColour);
        }
        EXPECT_EQ(view.percent.has_value(), c.port.stage == PortStage::Transfer);
    }
}

TEST(StationPanel, FailureWithoutStepShowsTheReasonAlone) {
    PortLook port = Judged(PortStage::WaitingGone, BoardVerdict::Failed);
    port.lastStep.clear();
    port.lastReason = "升级失败";
    EXPECT_EQ(MakePanel(port).line, "升级失败  请取下电路板");
}

TEST(StationPanel, CountersOfThePort) {
    PortLook port = Port(PortStage::PlaceBoard);
    port.boards = 5;
    port.succeeded = 3;
    port.failed = 1;  // and one interrupted
    EXPECT_EQ(MakePanel(port).counters, "5 块  成功 3  失败 1");
}

TEST(StationPanel, PercentAndTimeLeft) {
    struct Case {
        uint32_t blocks;
        uint32_t total;
        std::chrono::milliseconds elapsed;
        int percent;
        std::string left;
    };
    const std::vector<Case> cases = {
        {0, 0, 0ms, 0, ""},                     // the image's length not known yet
        {0, 240, 500ms, 0, ""},                 // no block yet: no rate
        {1, 3, 1000ms, 33, "剩余 0:02"},        // rounded down
        {239, 240, 239000ms, 99, "剩余 0:01"},  // 100% only once every block went
        {240, 240, 240000ms, 100, "剩余 0:00"},
        {10, 1000, 10000ms, 1, "剩余 16:30"},
        {300, 240, 1000ms, 100, "剩余 0:00"},  // more blocks than known: never beyond 100
        // A large image: the percent's arithmetic must not overflow 32 bits.
        {4000000000u, 4000000000u, 1000ms, 100, "剩余 0:00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.blocks) + "/" + std::to_string(c.total));
        EXPECT_EQ(TransferPercent(c.blocks, c.total), c.percent);
        EXPECT_EQ(TimeLeftText(c.blocks, c.total, c.elapsed), c.left);
    }
}

TEST(StationPorts, PresentPortsWithFriendlyNamesThenCheckedOnesNotPresent) {
    const std::vector<PresentPort> present = {{"COM1", "", ""},
                                              {"COM33", "FT232R USB UART", "A10K3B7Q"},
                                              {"COM34", "CP2102 USB to UART", ""}};
    const std::vector<PortChoice> choices = PortChoices(present, {"/dev/pts/7", "COM34", "COM40"});
    ASSERT_EQ(choices.size(), 5u);
    EXPECT_EQ(choices[0].label, "COM1");
    EXPECT_FALSE(choices[0].checked);
    EXPECT_EQ(choices[1].label, "COM33  FT232R USB UART  A10K3B7Q");
    EXPECT_EQ(choices[2].label, "COM34  CP2102 USB to UART");
    EXPECT_TRUE(choices[2].checked);
    EXPECT_EQ(choices[3].name, "/dev/pts/7");
    EXPECT_EQ(choices[3].label, "/dev/pts/7  (未连接)");
    EXPECT_TRUE(choices[3].checked);
    EXPECT_FALSE(choices[3].present);
    EXPECT_EQ(choices[4].name, "COM40");
    EXPECT_EQ(CheckedPorts(choices), (std::vector<std::string>{"COM34", "/dev/pts/7", "COM40"}));
    EXPECT_TRUE(PortChoices({}, {}).empty());
}

TEST(StationTotals, SumAndYieldOverJudgedBoards) {
    EXPECT_EQ(TotalsText(SumTotals({})), "板数 0  成功 0  失败 0  良率 -");

    PortLook a = Port(PortStage::PlaceBoard);
    a.boards = 7;  // one of them interrupted
    a.succeeded = 5;
    a.failed = 1;
    PortLook b = Port(PortStage::Transfer);
    b.boards = 5;
    b.succeeded = 5;
    const Totals totals = SumTotals({a, b});
    EXPECT_EQ(totals.boards, 12u);
    EXPECT_EQ(totals.succeeded, 10u);
    EXPECT_EQ(totals.failed, 1u);
    ASSERT_TRUE(totals.yieldPercent);
    EXPECT_NEAR(*totals.yieldPercent, 100.0 * 10 / 11, 1e-9);
    EXPECT_EQ(TotalsText(totals), "板数 12  成功 10  失败 1  良率 90.9%");

    PortLook interruptedOnly = Port(PortStage::Idle);
    interruptedOnly.boards = 1;
    EXPECT_FALSE(SumTotals({interruptedOnly}).yieldPercent);
}

TEST(StationRecords, NewestFirstFieldByFieldAndBounded) {
    CRecordTable table;
    BoardRecord first;
    first.time = "2026-12-11T06:00:00.000Z";
    first.port = "COM7";
    first.board = 1;
    first.result = kRecordOk;
    first.seconds = 4.26;
    BoardRecord second = first;
    second.time = "2026-12-11T06:00:09.500Z";
    second.port = "COM8";
    second.board = 2;
    second.result = kRecordFailed;
    second.step = "checksum";
    second.seconds = 12.04;
    table.Add(first);
    table.Add(second);

    ASSERT_EQ(table.Rows().size(), 2u);
    const RecordRow& newest = table.Rows()[0];
    EXPECT_EQ(newest.time, "2026-12-11T06:00:09.500Z");
    EXPECT_EQ(newest.port, "COM8");
    EXPECT_EQ(newest.board, "2");
    EXPECT_EQ(newest.result, "failed");
    EXPECT_EQ(newest.step, "checksum");
    EXPECT_EQ(newest.seconds, "12.040");
    EXPECT_EQ(table.Rows()[1].port, "COM7");
    EXPECT_EQ(table.Rows()[1].step, "");
    EXPECT_EQ(table.Rows()[1].seconds, "4.260");
    EXPECT_EQ(RecordColumnTitles().size(), 6u);

    for (uint32_t i = 0; i < kRecordRowsKept + 5; ++i) {
        first.board = 100 + i;
        table.Add(first);
    }
    EXPECT_EQ(table.Rows().size(), kRecordRowsKept);
    EXPECT_EQ(table.Rows().front().board, std::to_string(100 + kRecordRowsKept + 4));
}

TEST(StationGrid, PanelsForOneToSixteenPorts) {
    struct Case {
        size_t panels;
        size_t rows;
        size_t columns;
    };
    const std::vector<Case> cases = {{1, 1, 1}, {2, 1, 2},  {3, 1, 3},  {4, 1, 4},
                                     {5, 2, 3}, {6, 2, 3},  {7, 2, 4},  {8, 2, 4},
                                     {9, 3, 3}, {12, 3, 4}, {13, 4, 4}, {16, 4, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.panels);
        const Grid grid = GridFor(c.panels);
        EXPECT_EQ(grid.rows, c.rows);
        EXPECT_EQ(grid.columns, c.columns);
    }
    for (size_t n = 1; n <= kMaxPanels; ++n) {
        const Grid grid = GridFor(n);
        EXPECT_GE(grid.rows * grid.columns, n) << n;
        EXPECT_LT((grid.rows - 1) * grid.columns, n) << n << ": an empty row";
        EXPECT_LE(grid.columns, kMaxPanelColumns) << n;
    }
}

TEST(StationSound, ShortForSuccessLongForFailureNoneWhenOff) {
    EXPECT_EQ(SoundFor(BoardVerdict::Succeeded, true), Sound::Short);
    EXPECT_EQ(SoundFor(BoardVerdict::Failed, true), Sound::Long);
    EXPECT_EQ(SoundFor(BoardVerdict::Interrupted, true), Sound::None);
    EXPECT_EQ(SoundFor(BoardVerdict::Succeeded, false), Sound::None);
    EXPECT_EQ(SoundFor(BoardVerdict::Failed, false), Sound::None);
}

TEST(StationSound, BeepsAndColoursOfEachKind) {
    EXPECT_EQ(BeepsFor(Sound::None), 0);
    EXPECT_EQ(BeepsFor(Sound::Short), 1);
    EXPECT_GT(BeepsFor(Sound::Long), BeepsFor(Sound::Short));
    // Each state's colour tells it apart from the others at a glance.
    const std::vector<PanelColour> colours = {PanelColour::Grey, PanelColour::Blue,
                                              PanelColour::Green, PanelColour::Red,
                                              PanelColour::Amber};
    for (size_t i = 0; i < colours.size(); ++i) {
        for (size_t j = i + 1; j < colours.size(); ++j) {
            EXPECT_NE(ColourRgb(colours[i]), ColourRgb(colours[j])) << i << " " << j;
        }
    }
}

TEST(StationStop, AsksOnlyWhileABoardIsInTransfer) {
    std::vector<PortLook> ports = {Port(PortStage::PlaceBoard), Port(PortStage::WaitingGone),
                                   Port(PortStage::Reopening), Port(PortStage::Idle)};
    EXPECT_FALSE(MustAskBeforeStop(ports));
    // A board that has answered is taken, though no block has gone yet.
    ports[1].stage = PortStage::Searching;
    ports[1].name = "COM8";
    EXPECT_TRUE(MustAskBeforeStop(ports));
    ports.push_back(Port(PortStage::Transfer));
    ports.back().name = "COM9";
    EXPECT_TRUE(MustAskBeforeStop(ports));
    const std::string text = AskStopText(ports);
    EXPECT_NE(text.find("COM8、COM9"), std::string::npos) << text;
    EXPECT_EQ(text.find("COM7"), std::string::npos) << text;
}

TEST(StationExit, CodesAsTheCommandLines) {
    Totals good;
    good.boards = 4;
    good.succeeded = 4;
    Totals bad = good;
    bad.failed = 1;
    EXPECT_EQ(ExitCodeFor(good, false, false), kExitOk);
    EXPECT_EQ(ExitCodeFor(Totals{}, false, false), kExitOk);
    EXPECT_EQ(ExitCodeFor(bad, false, false), kExitFailed);
    EXPECT_EQ(ExitCodeFor(good, false, true), kExitFailed);  // a board went unrecorded
    EXPECT_EQ(ExitCodeFor(bad, true, false), kExitInterrupted);
}

TEST(StationSettings, RoundTripAndDefaults) {
    const StationSettings defaults;
    EXPECT_EQ(ParseStationSettings(""), defaults);
    EXPECT_TRUE(defaults.sounds);
    EXPECT_EQ(defaults.dataBitsIndex, 1);  // 8 data bits, no parity, one stop bit

    StationSettings s;
    s.image = "/home/李/固件 v2.bin";
    s.log = "/tmp/a=b.csv";  // an '=' in a value stays in it
    s.ports = {"COM7", "/dev/ttyUSB3", "COM12"};
    s.parityIndex = 2;
    s.dataBitsIndex = 0;
    s.stopBitsIndex = 1;
    s.sounds = false;
    EXPECT_EQ(ParseStationSettings(FormatStationSettings(s)), s);
    // Written by a Windows editor.
    std::string crlf = FormatStationSettings(s);
    for (size_t at = crlf.find('\n'); at != std::string::npos; at = crlf.find('\n', at + 2)) {
        crlf.insert(at, "\r");
    }
    EXPECT_EQ(ParseStationSettings(crlf), s);
}

TEST(StationSettings, HandEditedValuesOutsideTheListsTakeDefaults) {
    const StationSettings defaults;
    const StationSettings s = ParseStationSettings(
        "[Other]\nimage=/elsewhere.bin\n[Station]\nparity=3\ndata=-1\nstop=x\n"
        "ports= COM1 ,,COM2,\nsounds=0\n");
    EXPECT_EQ(s.image, "");  // another section's key is not ours
    EXPECT_EQ(s.parityIndex, defaults.parityIndex);
    EXPECT_EQ(s.dataBitsIndex, defaults.dataBitsIndex);
    EXPECT_EQ(s.stopBitsIndex, defaults.stopBitsIndex);
    EXPECT_EQ(s.ports, (std::vector<std::string>{"COM1", "COM2"}));
    EXPECT_FALSE(s.sounds);
}

TEST(StationSettings, AValueThatWouldBreakTheFileIsNotWritten) {
    StationSettings s;
    s.image = "/tmp/a\nports=COM99";  // would add a port nobody checked
    s.ports = {"COM1", "a,b", "COM2"};
    const StationSettings back = ParseStationSettings(FormatStationSettings(s));
    EXPECT_EQ(back.image, "");
    EXPECT_EQ(back.ports, (std::vector<std::string>{"COM1", "COM2"}));
}

TEST(StationSettings, SavedWholeAndLoadedBack) {
    const std::filesystem::path dir = testing::MakeTempFolder("tarvik-station-settings");
    const std::string path = (dir / "sub" / "tarvik-station.ini").string();
    EXPECT_EQ(LoadStationSettings(path), StationSettings{});  // no file yet
    StationSettings s;
    s.image = "/x.bin";
    s.ports = {"COM3"};
    ASSERT_TRUE(SaveStationSettings(path, s));
    EXPECT_EQ(LoadStationSettings(path), s);
    // A save that cannot be made leaves the old file as it was.
    std::filesystem::permissions(
        dir / "sub", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    StationSettings other = s;
    other.image = "/y.bin";
    if (!SaveStationSettings(path, other)) {  // root may write anyway
        EXPECT_EQ(LoadStationSettings(path), s);
    }
    std::filesystem::permissions(dir / "sub", std::filesystem::perms::owner_all);
    std::filesystem::remove_all(dir);
}

TEST(StationSettings, DefaultLogIsTheDaysCsvInTheDocuments) {
    std::tm day{};
    day.tm_year = 2026 - 1900;
    day.tm_mon = 11;
    day.tm_mday = 11;
    day.tm_hour = 12;
    day.tm_isdst = -1;
    const auto when = std::chrono::system_clock::from_time_t(std::mktime(&day));
    EXPECT_EQ(DefaultLogPath("/home/li/文档", when), "/home/li/文档/tarvik-2026-12-11.csv");
    EXPECT_EQ(DefaultLogPath("/home/li/Documents/", when),
              "/home/li/Documents/tarvik-2026-12-11.csv");
}

TEST(StationSettings, DocumentsFolderFromTheDesktopsUserDirs) {
    const testing::ScopedConfigHome configHome;
    const std::string config = configHome.path().string();
    const std::string home = config + "/home";
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome != nullptr ? oldHome : "";
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(DocumentsFolder(), home + "/Documents");
    std::ofstream(config + "/user-dirs.dirs") << "# written by xdg-user-dirs-update\n"
                                                 "XDG_DOCUMENTS_DIR=\"$HOME/文档\"\n";
    EXPECT_EQ(DocumentsFolder(), home + "/文档");
    EXPECT_EQ(StationSettingsPath(), config + "/tarvik-station.ini");
    setenv("HOME", savedHome.c_str(), 1);
}

TEST(StationCommandLine, Options) {
    const ParsedCommandLine parsed =
        ParseStationCommandLine({"--port", "COM7", "--port", "/dev/ttyUSB0", "--image", "a.bin",
                                 "--log", "l.csv", "--count", "3", "--stop-on-fail", "--start"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.line.ports, (std::vector<std::string>{"COM7", "/dev/ttyUSB0"}));
    EXPECT_EQ(parsed.line.image, "a.bin");
    EXPECT_EQ(parsed.line.log, "l.csv");
    EXPECT_EQ(parsed.line.count, 3u);
    EXPECT_TRUE(parsed.line.stopOnFail);
    EXPECT_TRUE(parsed.line.start);

    const ParsedCommandLine none = ParseStationCommandLine({});
    EXPECT_EQ(none.error, "");
    EXPECT_FALSE(none.line.count);
    EXPECT_FALSE(none.line.start);
}

TEST(StationCommandLine, RejectedLines) {
    const std::vector<std::vector<std::string>> lines = {
        {"--port"},
        {"--port", ""},
        {"--port", "COM1", "--port", "COM1"},
        {"--image"},
        {"--count", "0"},
        {"--count", "-1"},
        {"--count", "3x"},
        {"--count", "99999999999999999999999"},
        {"--count", std::to_string(kMaxStationBoards + 1)},
        {"--frobnicate"},
        {"COM7"},
    };
    for (const std::vector<std::string>& line : lines) {
        std::string shown;
        for (const std::string& arg : line) {
            shown += arg + " ";
        }
        SCOPED_TRACE(shown);
        EXPECT_NE(ParseStationCommandLine(line).error, "");
    }
    std::vector<std::string> seventeen;
    for (int i = 1; i <= 17; ++i) {
        seventeen.push_back("--port");
        seventeen.push_back("COM" + std::to_string(i));
    }
    EXPECT_NE(ParseStationCommandLine(seventeen).error, "");
    seventeen.resize(32);
    EXPECT_EQ(ParseStationCommandLine(seventeen).error, "");
}

TEST(StationCommandLine, OverridesTheRememberedSettingsForOneRun) {
    StationSettings remembered;
    remembered.image = "/old.bin";
    remembered.log = "/old.csv";
    remembered.ports = {"COM1", "COM2"};
    StationCommandLine line;
    EXPECT_EQ(ApplyCommandLine(remembered, line), remembered);
    line.ports = {"COM9"};
    line.image = "/new.bin";
    const StationSettings run = ApplyCommandLine(remembered, line);
    EXPECT_EQ(run.ports, (std::vector<std::string>{"COM9"}));
    EXPECT_EQ(run.image, "/new.bin");
    EXPECT_EQ(run.log, "/old.csv");
}

}  // namespace
}  // namespace tarvik::station
