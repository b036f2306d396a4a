// The pieces of tarvik-cli that do not need a board: the line settings it gives the engine
// and the text measures that keep the redrawn lines and the tables in their columns.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cli/progress_view.h"
#include "cli/signal_watch.h"
#include "cli/text_format.h"
#include "no_threads.h"
#include "station/station_options.h"

namespace tarvik::cli {
namespace {

TEST(CliLineSettings, OptionsBecomeTheWindowsListSelections) {
    struct Case {
        int dataBits;
        const char* parity;
        const char* stopBits;
        LineSelections expected;
    };
    const Case cases[] = {
        {kDefaultDataBits, kDefaultParity, kDefaultStopBits, {1, 0, 0}},  // the first-run ones
        {7, "odd", "1.5", {0, 1, 1}},
        {8, "EVEN", "2", {1, 2, 2}},
    };
    for (const Case& c : cases) {
        UpgradeOptions options;
        options.dataBits = c.dataBits;
        options.parity = c.parity;
        options.stopBits = c.stopBits;
        const LineSelections s = SelectionsFor(options);
        SCOPED_TRACE(std::to_string(c.dataBits) + c.parity + c.stopBits);
        EXPECT_EQ(s.dataBitsIndex, c.expected.dataBitsIndex);
        EXPECT_EQ(s.parityIndex, c.expected.parityIndex);
        EXPECT_EQ(s.stopBitsIndex, c.expected.stopBitsIndex);
    }
    // The defaults are the window's first run: 115200 baud at opening, no search bound.
    const UpgradeOptions defaults;
    EXPECT_EQ(defaults.baud, 115200u);
    EXPECT_FALSE(defaults.searchTimeout.has_value());
}

bool Blocked(int signal) {
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    return sigismember(&mask, signal) == 1;
}

// Ctrl-C and SIGTERM are blocked only while a watcher thread takes them; one that cannot
// start must not leave them blocked with nobody to see them (the program could not be
// stopped at all).
TEST(CliSignals, CtrlCEndsTheRunWhetherOrNotTheWatcherStarts) {
    sigset_t before;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    {
        tarvik::testing::NoNewThreads starved;
        ASSERT_TRUE(starved.Applied());
        CSignalWatch watch([] {});
        EXPECT_FALSE(watch.Watching());
        EXPECT_FALSE(Blocked(SIGINT)) << "default effect: the program ends";
        EXPECT_FALSE(Blocked(SIGTERM));
        EXPECT_EQ(watch.Raised(), 0);
    }
    {
        CSignalWatch watch([] {});
        ASSERT_TRUE(watch.Watching());
        EXPECT_TRUE(Blocked(SIGINT));
        EXPECT_TRUE(Blocked(SIGTERM));
        kill(getpid(), SIGINT);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (watch.Raised() == 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(watch.Raised(), SIGINT);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

TEST(CliText, WideCharactersTakeTwoColumnsAndAreNeverCut) {
    EXPECT_EQ(DisplayWidth("COM7"), 4u);
    EXPECT_EQ(DisplayWidth("升级成功"), 8u);
    EXPECT_EQ(DisplayWidth("已找到设备，正在升级"), 20u);  // the full-width comma too
    EXPECT_EQ(DisplayWidth("\r\x1b"), 0u);
    // Cutting in the middle of a wide character drops it whole.
    EXPECT_EQ(FitWidth("升级成功", 5), "升级");
    EXPECT_EQ(FitWidth("COM7  升级成功", 7), "COM7  ");
    EXPECT_EQ(FitWidth("abc", 10), "abc");
    // Broken UTF-8 neither stops the walk nor runs past the end.
    const std::string broken = std::string("ab\xE5\x8D", 4);
    EXPECT_EQ(DisplayWidth(broken), 4u);
    EXPECT_EQ(FitWidth(broken, 3), std::string("ab\xE5", 3));
    EXPECT_EQ(PadWidth("升级", 6), "升级  ");
}

TEST(CliText, DurationsAndRates) {
    using std::chrono::milliseconds;
    EXPECT_EQ(Seconds(milliseconds(12345)), "12.3 s");
    EXPECT_EQ(ClockTime(milliseconds(7999)), "0:07");
    EXPECT_EQ(ClockTime(milliseconds(754000)), "12:34");
    EXPECT_EQ(ClockTime(milliseconds(3723000)), "1:02:03");
    EXPECT_EQ(Rate(850), "850 B/s");
    EXPECT_EQ(Rate(11.2 * 1024), "11.2 KiB/s");
    EXPECT_EQ(Rate(1.5 * 1024 * 1024), "1.5 MiB/s");
}

// A station's line on an 80-column terminal: the counters shorten and the search's dots give
// way before any of the instruction to the operator is cut.
TEST(CliText, NarrowLineKeepsTheInstructionWhole) {
    constexpr size_t kWidth = 79;  // an 80-column terminal, one column kept free
    const std::string placeNext = "请放上下一块板";
    const std::string powerUp = "未找到设备,请重新上电,正在发送升级指令";
    struct Case {
        const char* what;
        std::string name;
        std::string info;
        std::string instruction;
    };
    const std::vector<Case> cases = {
        {"the search's dots", "/dev/ttyUSB12", placeNext + "  正在寻找设备" + std::string(48, '.'),
         placeNext},
        {"the power-up request", "/dev/ttyUSB12", placeNext + "  " + powerUp + "  1234", powerUp},
        {"a long port name", "/dev/serial/by-id/usb-adapter-if00",
         placeNext + "  正在寻找设备" + std::string(30, '.'), placeNext},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PortStatus port;
        port.name = c.name;
        port.phase = UpgradePhase::Scanning;
        port.info = c.info;
        port.counters = "[共1234块 成功1200 失败34]";
        port.shortCounters = "[1234/1200/34]";
        port.elapsed = std::chrono::milliseconds(12345);
        const std::string wide = CProgressView::ProgressLine(port);
        ASSERT_GT(DisplayWidth(wide), kWidth) << "the case must not fit as it is";
        const std::string line = CProgressView::FittedProgressLine(port, kWidth);
        EXPECT_LE(DisplayWidth(line), kWidth) << line;
        EXPECT_NE(line.find(c.instruction), std::string::npos) << line;
        EXPECT_EQ(line.rfind(c.name + "  ", 0), 0u) << line;
    }
    // A line that fits is left as it is, counters in words.
    PortStatus port;
    port.name = "COM7";
    port.phase = UpgradePhase::Scanning;
    port.info = placeNext + "  正在寻找设备...";
    port.counters = "[共2块 成功2 失败0]";
    port.shortCounters = "[2/2/0]";
    EXPECT_EQ(CProgressView::FittedProgressLine(port, kWidth), CProgressView::ProgressLine(port));
}

}  // namespace
}  // namespace tarvik::cli
