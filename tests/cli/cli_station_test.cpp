// tarvik-cli upgrade --repeat against rows of simulated boards (tarvik-sim --boards): every
// board taken once and recorded once with the right fields, a board that stays is not taken
// again, a pulled adapter comes back, and the run ends as Ctrl-C, --count, --stop-on-fail and
// a log that fails say; and the record of a single run.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "csv_text.h"
#include "sim_process.h"
#include "upgrade/board_record.h"

namespace tarvik::testing {
namespace {

using std::chrono::milliseconds;

constexpr uint32_t kImageLength = 1000;  // 8 blocks
constexpr uint32_t kBlock = 128;
// A finished board's application runs this long before the next board is on the fixture:
// well beyond the 1.5 s a station takes to see that a board has gone, on a loaded machine too.
constexpr char kSwap[] = "3";
constexpr char kPlaceNext[] = "请放上下一块板";
constexpr char kFound[] = "已找到设备，正在升级";
constexpr char kRemove[] = "请取下电路板";
constexpr char kDeviceGone[] = "设备已拔出";
// A quick operator: the next board is on the fixture within 2 s of the verdict, just over
// the 1.5 s of silence after which a board counts as gone.
constexpr char kQuickSwap[] = "1.95";
// How long a test waits for a board that must come (generous), or for one that must not.
constexpr std::chrono::seconds kBoardTime{60};
constexpr std::chrono::seconds kNoSecondBoard{8};

const std::vector<std::string> kFieldNames = {
    "time",      "port",      "board",        "result",  "step",    "message",
    "seconds",   "baud",      "blocks",       "bytes",   "resends", "image",
    "image_sum", "board_sum", "image_sha256", "version", "host"};

using Row = std::map<std::string, std::string>;

std::string ReadText(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

uint32_t Sum(const std::vector<uint8_t>& received) {
    uint32_t sum = 0;
    for (const uint8_t b : received) {
        sum += b;
    }
    return sum;
}

std::string SumHex(uint32_t sum) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", sum);
    return text;
}

std::string SumHex(const std::vector<uint8_t>& received) {
    return SumHex(Sum(received));
}

nlohmann::json Summary(SimProcess& sim) {
    return nlohmann::json::parse(sim.summary(), nullptr, false);
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

class CliStation : public CliTest {
protected:
    // What every record of an image must hold, whatever the board's outcome.
    void ExpectImageFields(const Row& row, const std::string& image) {
        const std::vector<uint8_t> bytes = ReadFile(image);
        EXPECT_EQ(row.at("bytes"), std::to_string(bytes.size()));
        EXPECT_EQ(row.at("blocks"), std::to_string(bytes.size() / kBlock + 1));
        EXPECT_EQ(row.at("image"), image);
        EXPECT_EQ(row.at("image_sum"), SumHex(Received(bytes)));
        if (row.at("result") == "ok") {
            // The board answered the image's sum, or it would not have succeeded.
            EXPECT_EQ(row.at("board_sum"), row.at("image_sum"));
        }
        EXPECT_EQ(row.at("image_sha256"), Sha256Hex(bytes.data(), bytes.size()));
        EXPECT_FALSE(row.at("version").empty());
        EXPECT_EQ(row.at("time").size(), std::string("2026-12-11T00:18:39.123Z").size());
        EXPECT_EQ(row.at("time").back(), 'Z');
    }
};

// Two ports, three boards each: one board fails in the middle of port A's row, and port B's
// boards stay answering enter-upgrade for a while after their finish. Every board is taken
// exactly once and recorded once.
TEST_F(CliStation, TwoPortsRecordEveryBoardOnceInCsv) {
    const std::string image = WriteImage("image.bin", kImageLength);
    SimProcess a({"--boards", "3", "--swap", kSwap, "--out", Path("a%d.bin"), "--fail", "2/27@2"});
    SimProcess b({"--boards", "3", "--swap", kSwap, "--stay", "2.5", "--out", Path("b%d.bin")});
    const std::string log = Path("boards.csv");
    const ChildResult r = Cli({"upgrade", "--repeat", "--count", "3", "--port", a.slavePath(),
                               "--port", b.slavePath(), "--image", image, "--log", log});
    EXPECT_EQ(r.exitCode, kExitFailed) << r.out << r.err;
    // The station's own line when it starts to search for the next board.
    EXPECT_EQ(Count(r.out, std::string(kPlaceNext) + "\n"), 4u) << r.out;

    const std::string text = ReadText(log);
    ASSERT_EQ(text.rfind("\xEF\xBB\xBF", 0), 0u) << "a new CSV log starts with the mark";
    const auto lines = ParseCsv(text.substr(3));
    ASSERT_EQ(lines.size(), 7u) << text;
    EXPECT_EQ(lines[0], kFieldNames);
    std::map<std::string, std::vector<Row>> byPort;
    for (size_t i = 1; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i].size(), kFieldNames.size()) << text;
        Row row;
        for (size_t k = 0; k < kFieldNames.size(); ++k) {
            row[kFieldNames[k]] = lines[i][k];
        }
        byPort[row["port"]].push_back(row);
    }
    ASSERT_EQ(byPort[a.slavePath()].size(), 3u);
    ASSERT_EQ(byPort[b.slavePath()].size(), 3u);
    for (const auto& [port, rows] : byPort) {
        for (size_t i = 0; i < rows.size(); ++i) {
            const Row& row = rows[i];
            SCOPED_TRACE(port + " board " + row.at("board"));
            EXPECT_EQ(row.at("board"), std::to_string(i + 1));
            ExpectImageFields(row, image);
            EXPECT_EQ(row.at("baud"), "115200");
            // Nothing resent: a staying board taken for the next one would have left a
            // begin-transfer frame unanswered.
            EXPECT_EQ(row.at("resends"), "0");
            const bool failing = port == a.slavePath() && i == 1;
            EXPECT_EQ(row.at("result"), failing ? "failed" : "ok");
            EXPECT_EQ(row.at("step"), failing ? "block" : "");
            EXPECT_NE(row.at("message").find(failing ? "升级失败" : "升级成功"), std::string::npos);
        }
    }
    // Every board took its image once: the staying boards were not taken again.
    a.stop();
    b.stop();
    const std::vector<uint8_t> received = Received(ReadFile(image));
    for (const char* name : {"a1.bin", "a3.bin", "b1.bin", "b2.bin", "b3.bin"}) {
        EXPECT_EQ(ReadFile(Path(name)), received) << name;
    }
    EXPECT_EQ(Summary(a)["upgrades"], 2);
    EXPECT_EQ(Summary(b)["upgrades"], 3);
    EXPECT_EQ(Summary(b)["boards"], 3);
    // The closing table: a row per port with its boards, successes and failures.
    EXPECT_NE(r.out.find("板数  成功  失败  平均用时"), std::string::npos) << r.out;
    // Each board's outcome is a line of its own, with the port's counters after it.
    EXPECT_NE(r.out.find("第3块: 升级成功"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[共3块 成功3 失败0]"), std::string::npos) << r.out;
    // Every port asks for its first board.
    EXPECT_EQ(Count(r.out, "请放上电路板\n"), 2u) << r.out;
}

// A failure with --stop-on-fail ends the row at once; the JSON record carries the rate the
// board answered at and the step that failed.
TEST_F(CliStation, StopOnFailEndsTheRowAndRecordsJson) {
    const std::string image = WriteImage("image.bin", kImageLength);
    SimProcess sim({"--boards", "3", "--swap", kSwap, "--baud", "9600", "--fail", "2/29@1"});
    const std::string log = Path("boards.jsonl");
    const ChildResult r = Cli({"upgrade", "--repeat", "--stop-on-fail", "--port", sim.slavePath(),
                               "--image", image, "--log", log});
    EXPECT_EQ(r.exitCode, kExitFailed) << r.out << r.err;

    const std::string text = ReadText(log);
    std::vector<nlohmann::ordered_json> records;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "every record ends its line";
        records.push_back(nlohmann::ordered_json::parse(text.substr(start, end - start)));
        start = end + 1;
    }
    ASSERT_EQ(records.size(), 2u) << text;
    for (size_t i = 0; i < records.size(); ++i) {
        const nlohmann::ordered_json& j = records[i];
        std::vector<std::string> keys;
        Row row;
        for (const auto& [key, value] : j.items()) {
            keys.push_back(key);
            row[key] = value.is_string() ? value.get<std::string>() : value.dump();
        }
        EXPECT_EQ(keys, kFieldNames);
        ExpectImageFields(row, image);
        EXPECT_EQ(j["board"], i + 1);
        EXPECT_EQ(j["baud"], 9600);
        EXPECT_EQ(j["resends"], 0);
        EXPECT_TRUE(j["seconds"].is_number());
        EXPECT_EQ(j["result"], i == 0 ? "ok" : "failed");
        if (i == 0) {
            EXPECT_TRUE(j["step"].is_null());
        } else {
            EXPECT_EQ(j["step"], "checksum");
        }
    }
}

// --bell rings once for a success and three times for a failure, on the terminal the lines
// are shown on; output to a file or a pipe stays plain lines, without a BEL.
TEST_F(CliStation, BellRingsOnlyOnATerminal) {
    const std::string image = WriteImage("image.bin", kImageLength);
    for (const bool terminal : {true, false}) {
        SCOPED_TRACE(terminal ? "standard output on a terminal" : "standard output a pipe");
        SimProcess sim({"--boards", "2", "--swap", kSwap, "--fail", "2/29@1"});
        ChildOptions options = Options();
        options.stdoutTerminal = terminal;
        const ChildResult r = Cli({"upgrade", "--repeat", "--stop-on-fail", "--bell", "--port",
                                   sim.slavePath(), "--image", image},
                                  options);
        EXPECT_EQ(r.exitCode, kExitFailed) << r.out << r.err;
        EXPECT_EQ(Count(r.out, "\a"), terminal ? 4u : 0u) << r.out;
        EXPECT_EQ(Count(r.err, "\a"), 0u) << r.err;
    }
}

// Ctrl-C while the station waits for the next board ends the shift normally; during a
// transfer it stops that board, records it as interrupted and exits 130.
TEST_F(CliStation, CtrlCWhileWaitingIsANormalEndAndDuringATransferAnInterruption) {
    struct Case {
        const char* what;
        uint32_t imageLength;
        std::vector<std::string> simArgs;
        std::string waitFor;
        int exitCode;
        std::string result;
    };
    const Case cases[] = {
        {"waiting", kImageLength, {"--boards", "2", "--swap", "60"}, kPlaceNext, kExitOk, "ok"},
        {"transferring", kLargeImage, {"--pace"}, kFound, kExitInterrupted, "interrupted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string image = WriteImage("image.bin", c.imageLength);
        const std::string log = Path(std::string(c.what) + ".jsonl");
        SimProcess sim(c.simArgs);
        ChildProcess cli(
            CliExecutable(),
            {"upgrade", "--repeat", "--port", sim.slavePath(), "--image", image, "--log", log},
            Options());
        ASSERT_TRUE(cli.waitForOutput(c.waitFor, kChildTimeout)) << cli.out() << cli.err();
        cli.sendSignal(SIGINT);
        const std::optional<int> code = cli.wait(kChildTimeout);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, c.exitCode) << cli.out() << cli.err();
        const nlohmann::json record = nlohmann::json::parse(ReadText(log));
        EXPECT_EQ(record["result"], c.result);
        EXPECT_TRUE(record["step"].is_null());
        EXPECT_NE(cli.out().find("平均用时"), std::string::npos) << cli.out();
    }
}

// A log that cannot be opened refuses the start before any frame; one that cannot be written
// (a full disk) ends the run before another board is taken.
TEST_F(CliStation, LogThatFailsTakesNoFurtherBoard) {
    const std::string image = WriteImage("image.bin", kImageLength);
    {
        SimProcess sim({"--boards", "2", "--swap", kSwap});
        const ChildResult r = Cli({"upgrade", "--repeat", "--port", sim.slavePath(), "--image",
                                   image, "--log", Path("no-such-folder/boards.csv")});
        EXPECT_EQ(r.exitCode, kExitUsage) << r.out << r.err;
        EXPECT_NE(r.err.find("boards.csv"), std::string::npos) << r.err;
        sim.stop();
        EXPECT_EQ(Summary(sim)["frames"]["25"], 0) << "no board was searched for";
    }
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    SimProcess sim({"--boards", "2", "--swap", kSwap});
    const ChildResult r = Cli(
        {"upgrade", "--repeat", "--port", sim.slavePath(), "--image", image, "--log", "/dev/full"});
    EXPECT_EQ(r.exitCode, kExitFailed) << r.out << r.err;
    EXPECT_NE(r.err.find("cannot write the log"), std::string::npos) << r.err;
    EXPECT_EQ(Count(r.out, std::string(kPlaceNext) + "\n"), 0u) << r.out;
    sim.stop();
    EXPECT_EQ(Summary(sim)["upgrades"], 1);
}

// The adapter is pulled with the board in the middle of its transfer: the board is recorded
// as failed, the station waits for the device to come back under its name, opens it again
// and takes the next board.
TEST_F(CliStation, PulledDeviceComesBackAndTheNextBoardIsTaken) {
    const std::string image = WriteImage("image.bin", kImageLength);
    const std::string link = Path("fixture");
    const std::string log = Path("boards.csv");
    std::optional<SimProcess> first(
        std::in_place, std::vector<std::string>{"--link", link, "--vanish-after", "3"});
    ChildProcess cli(
        CliExecutable(),
        {"upgrade", "--repeat", "--count", "2", "--port", link, "--image", image, "--log", log},
        Options());
    ASSERT_TRUE(first->waitExit(kChildTimeout).has_value());
    first.reset();
    ASSERT_TRUE(cli.waitForOutput("第1块:", kChildTimeout)) << cli.out() << cli.err();
    SimProcess second({"--link", link, "--out", Path("second.bin")});
    const std::optional<int> code = cli.wait(kChildTimeout);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, kExitFailed) << cli.out() << cli.err();
    // The board went with the device: the operator is told so, never to take it off.
    EXPECT_NE(cli.out().find(kDeviceGone), std::string::npos) << cli.out();
    EXPECT_EQ(Count(cli.out(), kRemove), 0u) << cli.out();
    const auto lines = ParseCsv(ReadText(log).substr(3));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1][3], "failed");
    EXPECT_EQ(lines[2][3], "ok");
    EXPECT_EQ(lines[2][2], "2");
    second.stop();
    EXPECT_EQ(ReadFile(Path("second.bin")), Received(ReadFile(image)));
}

// A wrong sum is final: the board is done with at once and the watch for it to go starts at
// once, so a quick operator's next board is taken (ok / wrong sum / ok: all three taken).
TEST_F(CliStation, WrongSumSwappedQuicklyTakesTheNextBoard) {
    const std::string image = WriteImage("image.bin", kImageLength);
    SimProcess sim({"--boards", "3", "--swap", kQuickSwap, "--wrong-sum-board", "2"});
    const std::string log = Path("boards.csv");
    ChildProcess cli(CliExecutable(),
                     {"upgrade", "--repeat", "--count", "3", "--port", sim.slavePath(), "--image",
                      image, "--log", log},
                     Options());
    const std::optional<int> code = cli.wait(kBoardTime);
    if (!code) {
        cli.sendSignal(SIGINT);
        cli.wait(kChildTimeout);
    }
    ASSERT_TRUE(code.has_value()) << "the third board was never taken\n" << cli.out();
    EXPECT_EQ(*code, kExitFailed) << cli.out() << cli.err();
    const auto lines = ParseCsv(ReadText(log).substr(3));
    ASSERT_EQ(lines.size(), 4u) << ReadText(log);
    const std::vector<std::string> results = {lines[1][3], lines[2][3], lines[3][3]};
    EXPECT_EQ(results, (std::vector<std::string>{"ok", "failed", "ok"}));
    EXPECT_EQ(lines[2][4], "checksum");
    sim.stop();
    EXPECT_EQ(Summary(sim)["upgrades"], 2);
}

// A board that failed after answering at 9600 listens at 115200 until it restarts. Left on
// the fixture it still answers the station's probes, so it is not taken for a new board.
TEST_F(CliStation, FailedBoardFoundAt9600LeftOnTheFixtureIsRecordedOnce) {
    const std::string image = WriteImage("image.bin", kImageLength);
    SimProcess sim({"--baud", "9600", "--boards", "3", "--drop", "1/29@1x4"});
    const std::string log = Path("boards.jsonl");
    ChildProcess cli(
        CliExecutable(),
        {"upgrade", "--repeat", "--port", sim.slavePath(), "--image", image, "--log", log},
        Options());
    ASSERT_TRUE(cli.waitForOutput("第1块:", kChildTimeout)) << cli.out() << cli.err();
    EXPECT_FALSE(cli.waitForOutput("第2块:", kNoSecondBoard)) << cli.out();
    EXPECT_NE(cli.out().find(kRemove), std::string::npos) << cli.out();
    cli.sendSignal(SIGINT);
    const std::optional<int> code = cli.wait(kChildTimeout);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, kExitFailed) << cli.out() << cli.err();
    const std::string text = ReadText(log);
    ASSERT_EQ(Count(text, "\n"), 1u) << text;
    const nlohmann::json record = nlohmann::json::parse(text);
    EXPECT_EQ(record["result"], "failed");
    EXPECT_EQ(record["step"], "checksum");
    EXPECT_EQ(record["baud"], 9600);
    sim.stop();
    EXPECT_EQ(Summary(sim)["upgrades"], 0);
}

// The adapter is pulled while the station searches for the next board: the port waits for
// the device, opens it again when it is back and takes the next board.
TEST_F(CliStation, AdapterPulledBetweenBoardsAndPutBack) {
    const std::string image = WriteImage("image.bin", kImageLength);
    const std::string link = Path("fixture");
    const std::string log = Path("boards.csv");
    std::optional<SimProcess> first(
        std::in_place, std::vector<std::string>{"--link", link, "--boards", "2", "--swap", "60"});
    ChildProcess cli(
        CliExecutable(),
        {"upgrade", "--repeat", "--count", "2", "--port", link, "--image", image, "--log", log},
        Options());
    ASSERT_TRUE(cli.waitForOutput(kPlaceNext, kChildTimeout)) << cli.out() << cli.err();
    first.reset();  // pulled
    ASSERT_TRUE(cli.waitForOutput(kDeviceGone, kBoardTime)) << cli.out() << cli.err();
    SimProcess second({"--link", link, "--out", Path("second.bin")});
    const std::optional<int> code = cli.wait(kBoardTime);
    if (!code) {
        cli.sendSignal(SIGINT);
        cli.wait(kChildTimeout);
    }
    ASSERT_TRUE(code.has_value()) << cli.out() << cli.err();
    EXPECT_EQ(*code, kExitOk) << cli.out() << cli.err();
    const auto lines = ParseCsv(ReadText(log).substr(3));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1][3], "ok");
    EXPECT_EQ(lines[2][3], "ok");
    EXPECT_EQ(lines[2][2], "2");
    second.stop();
    EXPECT_EQ(ReadFile(Path("second.bin")), Received(ReadFile(image)));
}

// A single run without a search time-out whose adapter is pulled during the search ends,
// saying so, with the code of a port that cannot be used.
TEST_F(CliStation, SingleRunWhoseAdapterIsPulledDuringTheSearchEnds) {
    const std::string image = WriteImage("image.bin", kImageLength);
    std::optional<SimProcess> sim(std::in_place, std::vector<std::string>{"--boot-after", "600"});
    ChildProcess cli(CliExecutable(), {"upgrade", "--port", sim->slavePath(), "--image", image},
                     Options());
    ASSERT_TRUE(cli.waitForOutput("正在寻找设备", kChildTimeout)) << cli.out() << cli.err();
    sim.reset();
    const std::optional<int> code = cli.wait(kBoardTime);
    if (!code) {
        cli.sendSignal(SIGINT);
        cli.wait(kChildTimeout);
    }
    ASSERT_TRUE(code.has_value()) << "the search went on into the pulled device\n" << cli.out();
    EXPECT_EQ(*code, 3) << cli.out() << cli.err();
    EXPECT_NE(LastLine(cli.out()).find(kDeviceGone), std::string::npos) << cli.out();
}

// Without --repeat, --log records the one board each port takes, with the same fields; a
// port that found no board writes nothing, and a log that cannot be opened refuses the start.
TEST_F(CliStation, ASingleRunRecordsEveryBoardItTook) {
    const std::string image = WriteImage("image.bin", kImageLength);
    struct Case {
        const char* what;
        std::vector<std::string> simArgs;
        int exitCode;
        const char* result;                     // nullptr: no record
        const char* step;                       // nullptr: null
        std::optional<uint32_t> boardSumAbove;  // the board's sum less the image's; none: null
    };
    const Case cases[] = {
        {"ok", {"--baud", "9600"}, kExitOk, "ok", nullptr, 0u},
        {"refused", {"--baud", "9600", "--fail", "29@1"}, kExitFailed, "failed", "checksum", {}},
        // The board's answer is kept, and the message says what it was.
        {"wrong sum", {"--baud", "9600", "--wrong-sum"}, kExitFailed, "failed", "checksum", 1u},
        {"no board", {"--boot-after", "60"}, kExitNotFound, nullptr, nullptr, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimProcess sim(c.simArgs);
        const std::string log = Path(std::string(c.what) + ".jsonl");
        const ChildResult r = Cli({"upgrade", "--port", sim.slavePath(), "--image", image,
                                   "--search-timeout", "3", "--stall-timeout", "1", "--log", log});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        const std::string text = ReadText(log);
        if (c.result == nullptr) {
            EXPECT_EQ(text, "");
            continue;
        }
        ASSERT_EQ(Count(text, "\n"), 1u) << text;
        const nlohmann::ordered_json j = nlohmann::ordered_json::parse(text);
        Row row;
        std::vector<std::string> keys;
        for (const auto& [key, value] : j.items()) {
            keys.push_back(key);
            row[key] = value.is_string() ? value.get<std::string>() : value.dump();
        }
        EXPECT_EQ(keys, kFieldNames);
        ExpectImageFields(row, image);
        EXPECT_EQ(j["port"], sim.slavePath());
        EXPECT_EQ(j["board"], 1);
        EXPECT_EQ(j["baud"], 9600);
        EXPECT_EQ(j["result"], c.result);
        if (c.step == nullptr) {
            EXPECT_TRUE(j["step"].is_null());
        } else {
            EXPECT_EQ(j["step"], c.step);
        }
        const uint32_t imageSum = Sum(Received(ReadFile(image)));
        if (!c.boardSumAbove) {
            EXPECT_TRUE(j["board_sum"].is_null());
        } else {
            EXPECT_EQ(j["board_sum"], SumHex(imageSum + *c.boardSumAbove));
        }
        const bool sumsDiffer = c.boardSumAbove.value_or(0) != 0;
        EXPECT_EQ(row.at("message").find("校验和不符") != std::string::npos, sumsDiffer)
            << row.at("message");
    }
    SimProcess sim(std::vector<std::string>{});
    const ChildResult r = Cli({"upgrade", "--port", sim.slavePath(), "--image", image, "--log",
                               Path("no-such-folder/boards.jsonl")});
    EXPECT_EQ(r.exitCode, kExitUsage) << r.out << r.err;
    sim.stop();
    EXPECT_EQ(Summary(sim)["frames"]["25"], 0) << "no board was searched for";
}

}  // namespace
}  // namespace tarvik::testing
