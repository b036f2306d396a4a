// tarvik-cli.exe under Wine against the Linux tarvik-sim, driven from the Linux side: the
// simulator's pseudo-terminal is linked as COM7 of the Wine prefix, the Windows program
// upgrades it by that name, and the simulator writes out what it received.
//
// The Windows build's ctest runs it with TARVIK_WINE_RUN (BUILD/wine-run), TARVIK_CLI_EXE
// (BUILD/cli/tarvik-cli.exe) and TARVIK_WINE_PREFIX (BUILD/wine-prefix) set.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "cli_fixture.h"
#include "ser2net_process.h"
#include "sim_process.h"
#include "upgrade/board_record.h"

namespace tarvik::testing {
namespace {

constexpr int kComNumber = 7;

constexpr uint32_t kOneBlock = 100;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// A Linux path as the Windows program sees it: Wine's drive Z: is the root.
std::string WindowsPath(const std::string& path) {
    return "Z:" + path;
}

class WineCli : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        m_wineRun = Env("TARVIK_WINE_RUN");
        m_cli = Env("TARVIK_CLI_EXE");
        m_prefix = Env("TARVIK_WINE_PREFIX");
        if (m_wineRun.empty() || m_cli.empty() || m_prefix.empty()) {
            GTEST_SKIP() << "run from the Windows build's ctest (TARVIK_WINE_RUN and others)";
        }
    }

    // The simulator, linked as COM7 of the prefix.
    std::vector<std::string> SimArgs(std::vector<std::string> extra) const {
        extra.insert(extra.end(),
                     {"--link", m_prefix + "/dosdevices/com" + std::to_string(kComNumber)});
        return extra;
    }

    ChildOptions WineOptions() const {
        ChildOptions options = Options();
        // Wine turns the arguments into UTF-16 by the locale: a UTF-8 one keeps Chinese
        // file names whole.
        options.setEnv.push_back({"LANG", "C.UTF-8"});
        return options;
    }

    std::vector<std::string> CliArgs(const std::vector<std::string>& args) const {
        std::vector<std::string> all = {m_cli};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    ChildResult WineCliRun(const std::vector<std::string>& args) const {
        return RunChild(m_wineRun, CliArgs(args), WineOptions());
    }

    ChildResult RunProgram(const std::vector<std::string>& args) const override {
        return WineCliRun(args);
    }
    std::vector<std::string> BoardArgs(std::vector<std::string> simArgs) const override {
        return SimArgs(std::move(simArgs));
    }
    std::string BoardPort(const SimProcess& /*sim*/) const override {
        return "COM" + std::to_string(kComNumber);
    }
    std::string ProgramPath(const std::string& path) const override { return WindowsPath(path); }

    std::string m_wineRun;
    std::string m_cli;
    std::string m_prefix;
};

TEST_F(WineCli, BoardReceivesTheImageExactly) {
    std::vector<DeliveryCase> cases = DeliveryCases();
    cases.push_back({"an image shorter than a block", kOneBlock, {}});
    cases.push_back({"a lost acknowledgement, resent", kSmallImage, {"--drop", "27@5"}});
    ExpectEachBoardReceives(cases);
}

// tarvik-cli.exe on network lines through Winsock: a board behind ser2net found by the scan
// at 9600, by its address and by a COM name whose entry in %LOCALAPPDATA%\tarvik\ports holds
// the address; and a name that does not resolve.
TEST_F(WineCli, BoardBehindSer2NetByAddressAndByComName) {
    ASSERT_EQ(access(kSer2Net, X_OK), 0) << "ser2net is not installed (scripts/setup.sh)";
    // The prefix's local application-data folder of the user Wine runs as.
    std::string local;
    for (const auto& user : std::filesystem::directory_iterator(m_prefix + "/drive_c/users")) {
        if (std::filesystem::is_directory(user.path() / "AppData" / "Local") &&
            user.path().filename() != "Public") {
            local = (user.path() / "AppData" / "Local").string();
        }
    }
    ASSERT_FALSE(local.empty()) << "no user folder in the Wine prefix";
    const std::string entry = local + "/tarvik/ports/com50";
    std::filesystem::create_directories(local + "/tarvik/ports");
    const std::string image = WriteImage("image.bin", kSmallImage);
    for (const bool viaComName : {false, true}) {
        SCOPED_TRACE(viaComName ? "COM50" : "address");
        const std::string out = Path("received.bin");
        SimProcess sim({"--out", out, "--baud", "9600"});
        const int port = FreePort();
        Ser2Net server(Path(""), {{true, sim.slavePath(), port}});
        std::string why;
        ASSERT_TRUE(server.Start(&why)) << why;
        const std::string address = "rfc2217://127.0.0.1:" + std::to_string(port);
        std::ofstream(entry) << address << "\r\n";
        const ChildResult r = WineCliRun(
            {"upgrade", "--port", viaComName ? "COM50" : address, "--image", WindowsPath(image)});
        EXPECT_EQ(r.exitCode, kExitOk) << r.out << r.err;
        EXPECT_NE(LastLine(r.out).find(kSucceeded), std::string::npos) << r.out;
        sim.stop();
        EXPECT_EQ(ReadFile(out), Received(ReadFile(image)));
    }
    std::filesystem::remove(entry);
    const ChildResult r = WineCliRun(
        {"upgrade", "--port", "socket://no-such-host.invalid:4001", "--image", WindowsPath(image)});
    EXPECT_EQ(r.exitCode, kExitPortFailed) << r.out << r.err;
    EXPECT_NE(r.err.find("socket://no-such-host.invalid:4001"), std::string::npos) << r.err;
}

// The station under Wine: two boards in a row on COM7, each recorded in a CSV log the Windows
// program appends to.
TEST_F(WineCli, StationTakesTwoBoardsAndRecordsEach) {
    const std::string image = WriteImage("image.bin", kSmallImage);
    SimProcess sim(SimArgs({"--boards", "2", "--swap", "3", "--out", Path("board%d.bin")}));
    const std::string log = Path("boards.csv");
    const ChildResult r = WineCliRun({"upgrade", "--repeat", "--count", "2", "--port", "COM7",
                                      "--image", WindowsPath(image), "--log", WindowsPath(log)});
    EXPECT_EQ(r.exitCode, kExitOk) << r.out << r.err;
    sim.stop();
    const std::vector<uint8_t> bytes = ReadFile(image);
    const std::vector<uint8_t> received = Received(bytes);
    EXPECT_EQ(ReadFile(Path("board1.bin")), received);
    EXPECT_EQ(ReadFile(Path("board2.bin")), received);

    const std::vector<uint8_t> logBytes = ReadFile(log);
    const std::string text(logBytes.begin(), logBytes.end());
    ASSERT_EQ(text.rfind("\xEF\xBB\xBF"
                         "time,port,board,result,",
                         0),
              0u)
        << text;
    uint32_t sum = 0;
    for (const uint8_t b : received) {
        sum += b;
    }
    char sumText[16];
    std::snprintf(sumText, sizeof sumText, "%08x", sum);
    for (const char* board : {"1", "2"}) {
        const std::string fields = std::string("COM7,") + board + ",ok,,升级成功,";
        const size_t at = text.find(fields);
        ASSERT_NE(at, std::string::npos) << text;
        const std::string line = text.substr(at, text.find("\r\n", at) - at);
        EXPECT_NE(
            line.find("," + std::to_string(bytes.size()) + ",0," + WindowsPath(image) + "," +
                      sumText + "," + sumText + "," + Sha256Hex(bytes.data(), bytes.size()) + ","),
            std::string::npos)
            << line;
    }
}

// The station's board row under Wine: a wrong sum is final, so a board put on within 2 s of
// it is taken; and a board that failed after answering at 9600, left on the fixture, still
// answers the probes at 115200 and is not taken again.
TEST_F(WineCli, StationTakesEachBoardOnceAfterAFailure) {
    const std::string image = WriteImage("image.bin", kSmallImage);
    struct Case {
        const char* what;
        std::vector<std::string> simArgs;
        std::vector<std::string> results;  // every board recorded, in order
        bool endsItself;                   // with --count; else it is stopped with Ctrl-C
    };
    const std::vector<Case> cases = {
        {"a wrong sum, the next board on within 2 s",
         {"--boards", "3", "--swap", "1.95", "--wrong-sum-board", "2"},
         {"ok", "failed", "ok"},
         true},
        {"a board failed at 9600 left on the fixture",
         {"--baud", "9600", "--boards", "3", "--drop", "1/29@1x4"},
         {"failed"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimProcess sim(SimArgs(c.simArgs));
        const std::string log = Path("boards.csv");
        std::filesystem::remove(log);
        ChildProcess cli(m_wineRun,
                         CliArgs({"upgrade", "--repeat", "--count", "3", "--port", "COM7",
                                  "--image", WindowsPath(image), "--log", WindowsPath(log)}),
                         WineOptions());
        if (c.endsItself) {
            const std::optional<int> code = cli.wait(std::chrono::seconds(90));
            ASSERT_TRUE(code.has_value()) << "a board was never taken\n" << cli.out();
            EXPECT_EQ(*code, kExitFailed) << cli.out() << cli.err();
        } else {
            ASSERT_TRUE(cli.waitForOutput("第1块:", kChildTimeout)) << cli.out() << cli.err();
            EXPECT_FALSE(cli.waitForOutput("第2块:", std::chrono::seconds(8))) << cli.out();
            cli.sendSignal(SIGINT);
            ASSERT_TRUE(cli.wait(kChildTimeout).has_value());
        }
        const std::vector<uint8_t> bytes = ReadFile(log);
        const std::string text(bytes.begin(), bytes.end());
        std::vector<std::string> results;
        for (size_t at = text.find("COM7,"); at != std::string::npos;
             at = text.find("COM7,", at + 1)) {
            const size_t result = text.find(',', text.find(',', at) + 1) + 1;
            results.push_back(text.substr(result, text.find(',', result) - result));
        }
        EXPECT_EQ(results, c.results) << text;
    }
}

TEST_F(WineCli, ImageInAFolderWithAChineseName) {
    const std::string folder = Path("固件 升级");
    std::filesystem::create_directory(folder);
    const std::string written = WriteImage("image.bin", kSmallImage);
    const std::string image = folder + "/继电器板.bin";
    std::filesystem::rename(written, image);
    ExpectBoardReceives(image, {}, "\\\\.\\COM7");
}

TEST_F(WineCli, FaultsEndInTheWindowsFailureTexts) {
    struct Case {
        const char* what;
        std::vector<std::string> simArgs;
        std::string text;
    };
    const Case cases[] = {
        {"the board's sum differs", {"--wrong-sum"}, kFailed},
        {"the board refuses a block", {"--fail", "27@3"}, kFailed},
        {"a block never acknowledged", {"--drop", "27@3x4"}, kFailed + "(0x1b)"},
    };
    const std::string image = WriteImage("image.bin", kSmallImage);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimProcess sim(SimArgs(c.simArgs));
        const ChildResult r = WineCliRun(
            {"upgrade", "--port", "COM7", "--image", WindowsPath(image), "--stall-timeout", "2"});
        EXPECT_EQ(r.exitCode, kExitFailed) << r.out << r.err;
        EXPECT_NE(LastLine(r.out).find(c.text), std::string::npos) << r.out;
    }
}

TEST_F(WineCli, RejectedImageAndUnknownPort) {
    SimProcess sim(SimArgs({}));
    const std::string plain = WriteImage("plain.bin", kSmallImage, false);
    const ChildResult bad =
        WineCliRun({"upgrade", "--port", "COM7", "--image", WindowsPath(plain)});
    EXPECT_EQ(bad.exitCode, kExitUsage) << bad.out << bad.err;
    EXPECT_NE(bad.err.find("bin file is bad!!!"), std::string::npos) << bad.err;

    const std::string image = WriteImage("image.bin", kSmallImage);
    const ChildResult missing =
        WineCliRun({"upgrade", "--port", "COM231", "--image", WindowsPath(image)});
    EXPECT_EQ(missing.exitCode, 3) << missing.out << missing.err;
    EXPECT_NE(missing.err.find("COM231"), std::string::npos) << missing.err;
}

TEST_F(WineCli, PortsListsWhatTheSystemKnows) {
    // Wine's registry names COM1 (its /dev/ttyS0, never opened here); a real system lists
    // Device Manager's ports with their names and USB identities.
    const ChildResult r = WineCliRun({"ports"});
    EXPECT_EQ(r.exitCode, kExitOk) << r.out << r.err;
    EXPECT_NE(r.out.find("COM1  \\\\.\\COM1"), std::string::npos) << r.out;
}

TEST_F(WineCli, CtrlCStopsClosesAndExits130) {
    const std::string image = WriteImage("large.bin", kLargeImage);
    SimProcess sim(SimArgs({"--pace"}));  // the line's own time: the transfer takes minutes
    ChildProcess cli(m_wineRun,
                     CliArgs({"upgrade", "--port", "COM7", "--image", WindowsPath(image)}),
                     WineOptions());
    ASSERT_TRUE(cli.waitForOutput("已找到设备，正在升级", kChildTimeout)) << cli.out() << cli.err();
    cli.sendSignal(SIGINT);
    const std::optional<int> code = cli.wait(kChildTimeout);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, kExitInterrupted) << cli.out() << cli.err();
    EXPECT_NE(LastLine(cli.out()).find("停止升级"), std::string::npos) << cli.out();
}

}  // namespace
}  // namespace tarvik::testing
