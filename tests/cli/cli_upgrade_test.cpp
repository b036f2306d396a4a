// tarvik-cli against tarvik-sim and bare pseudo-terminals: outcomes and exit codes.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "pty_pair.h"
#include "serial/com_port.h"
#include "sim_process.h"

namespace tarvik::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint32_t kHugeImage = 0xA00000 + 1;

// Nothing reached the far end of the line.
void ExpectSilentLine(PtyPair& line) {
    EXPECT_TRUE(line.receive(1, milliseconds(300)).empty());
}

class CliUpgrade : public CliTest {};

TEST_F(CliUpgrade, BoardReceivesTheImageExactly) {
    ExpectEachBoardReceives(DeliveryCases());
}

TEST_F(CliUpgrade, RejectedImageEndsWithUsageCodeBeforeAnyFrame) {
    struct Case {
        const char* what;
        std::string image;
        const char* message;
    };
    const std::string noMarker = WriteImage("plain.bin", kSmallImage, false);
    const std::string markerAtZero = WriteImage("zero.bin", kSmallImage, false);
    {
        std::vector<uint8_t> bytes = ReadFile(markerAtZero);
        bytes[0] = 'I';
        bytes[1] = 'O';
        bytes[2] = '-';
        FILE* f = std::fopen(markerAtZero.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    const std::string huge = Path("huge.bin");
    {
        const int fd = open(huge.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, kHugeImage), 0);  // sparse: no disk space used
        close(fd);
    }
    const Case cases[] = {
        {"no marker", noMarker, "bin file is bad!!!"},
        {"a marker only at offset 0", markerAtZero, "bin file is bad!!!"},
        {"a missing file", Path("missing.bin"), "打开文件失败"},
        {"a folder", ConfigFolder(), "打开文件失败"},
        {"one byte over the limit", huge, "file is huge!!!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PtyPair line;
        const ChildResult r = Cli({"upgrade", "--port", line.slavePath(), "--image", c.image});
        EXPECT_EQ(r.exitCode, kExitUsage) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r.out << r.err;
        ExpectSilentLine(line);
    }
}

TEST_F(CliUpgrade, PortThatCannotBeOpenedEndsWithCode3) {
    const std::string image = WriteImage("image.bin", kSmallImage);
    PtyPair held;
    // Another program holds this one, as a terminal program would.
    const int holder = open(held.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    LinkCom(150, Path("no-such-device"));

    struct Case {
        const char* what;
        std::string port;
        const char* said;
    };
    const char* missing = "串口不存在或被其他程序占用";
    const Case cases[] = {
        {"a missing device path", "/dev/tarvik-no-such-tty", missing},
        {"a COM name beyond the fixed map without a link", "COM200", missing},
        {"a COM name whose link leads nowhere", "COM150", missing},
        {"a port held by another program", held.slavePath(), missing},
        {"a mistyped name, no COM name and no path", "COM4l", "既不是串口名称"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ChildResult r = Cli({"upgrade", "--port", c.port, "--image", image});
        EXPECT_EQ(r.exitCode, kExitPortFailed) << r.out << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.port), std::string::npos) << r.err;
    }
    close(holder);
}

// With no memory for a thread, the port's reader cannot start: that port counts as not
// opened (exit 3, said so), nothing is sent, and the program does not abort.
TEST_F(CliUpgrade, ReaderThatCannotStartEndsWithCode3) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer cannot lay out its memory under so large a stack limit and does not
    // start the program at all; the reader's own test covers a thread that cannot start.
    GTEST_SKIP() << "not under ThreadSanitizer";
#endif
    const std::string image = WriteImage("image.bin", kSmallImage);
    PtyPair line;
    // Every new thread then asks for a stack larger than the address space.
    const std::string starve = "ulimit -s 274877906944 && exec \"$0\" \"$@\"";
    const ChildResult r = RunChild(
        "/bin/sh",
        {"-c", starve, CliExecutable(), "upgrade", "--port", line.slavePath(), "--image", image},
        Options());
    EXPECT_EQ(r.exitCode, kExitPortFailed) << r.out << r.err;
    EXPECT_NE(r.err.find("no thread to read it"), std::string::npos) << r.err;
    ExpectSilentLine(line);
}

TEST_F(CliUpgrade, MissingSecondPortStartsNoUpgradeOnTheFirst) {
    const std::string image = WriteImage("image.bin", kSmallImage);
    PtyPair first;
    const ChildResult r = Cli({"upgrade", "--port", first.slavePath(), "--port",
                               "/dev/tarvik-no-such-tty", "--image", image});
    EXPECT_EQ(r.exitCode, kExitPortFailed) << r.out << r.err;
    ExpectSilentLine(first);
    // Released: the first port opens again at once.
    CComPort port;
    EXPECT_EQ(port.Open(first.slavePath().c_str(), 1024, 1024), kErrSuccess);
}

TEST_F(CliUpgrade, FailedUpgradeEndsWithCode1AndSaysWhy) {
    const std::string image = WriteImage("image.bin", kSmallImage);
    struct Case {
        const char* what;
        std::vector<std::string> simArgs;
        std::vector<const char*> expected;  // in the outcome line
        seconds atLeast;                    // the stall time-out, where the upgrade stalls
    };
    const Case cases[] = {
        // The board's sum is final: no stall waits for a further reply.
        {"a wrong sum: ended at once after the checksum request",
         {"--wrong-sum"},
         {"升级失败", "校验和", "0x1d"},
         seconds(0)},
        {"an unanswered finish command: stalled after it",
         {"--silent-finish"},
         {"升级失败", "0x1e"},
         seconds(2)},
        {"a refusal from the board", {"--fail", "27@3"}, {"升级失败", "fsfds"}, seconds(0)},
        {"a block unanswered through every resend",
         {"--drop", "27@3x5"},
         {"升级失败(0x1b)"},
         seconds(0)},
        {"a board that vanishes half-way", {"--vanish-after", "5"}, {"升级失败"}, seconds(0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimProcess sim(c.simArgs);
        const ChildResult r =
            Cli({"upgrade", "--port", sim.slavePath(), "--image", image, "--stall-timeout", "2"});
        EXPECT_EQ(r.exitCode, kExitFailed) << r.out << r.err;
        const std::string last = LastLine(r.out);
        for (const char* text : c.expected) {
            EXPECT_NE(last.find(text), std::string::npos) << r.out;
        }
        EXPECT_GE(r.elapsed, c.atLeast);
    }
}

// A board that answers the enter-upgrade command with the finish step has verified nothing:
// no block went out and no sum was compared. The answer counts for nothing; the search goes
// on until its time-out, and no success is reported.
TEST_F(CliUpgrade, FinishAnswerBeforeAnyTransferIsNoSuccess) {
    const std::string image = WriteImage("image.bin", kSmallImage);
    PtyPair line;
    ChildProcess cli(
        CliExecutable(),
        {"upgrade", "--port", line.slavePath(), "--image", image, "--search-timeout", "2"},
        Options());
    const std::vector<uint8_t> command = line.receive(23, kChildTimeout);
    ASSERT_EQ(command.size(), 23u);
    ASSERT_EQ(command[3], 0x19);
    // 'h' ':' 'W' 30, sixteen zero bytes, the 8-bit sum of the twenty bytes before it, 'E' 'D'.
    std::vector<uint8_t> finished = {0x68, 0x3A, 0x57, 0x1E};
    finished.resize(20, 0x00);
    uint8_t sum = 0;
    for (const uint8_t b : finished) {
        sum = static_cast<uint8_t>(sum + b);
    }
    finished.insert(finished.end(), {sum, 0x45, 0x44});
    line.send(finished);
    const std::optional<int> code = cli.wait(kChildTimeout);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, kExitNotFound) << cli.out() << cli.err();
    EXPECT_EQ(cli.out().find(kSucceeded), std::string::npos) << cli.out();
}

TEST_F(CliUpgrade, SilentBoardEndsWithCode4AfterTheSearchTimeOut) {
    const std::string image = WriteImage("image.bin", kSmallImage);
    PtyPair line;  // nobody answers
    const ChildResult r =
        Cli({"upgrade", "--port", line.slavePath(), "--image", image, "--search-timeout", "2"});
    EXPECT_EQ(r.exitCode, kExitNotFound) << r.out << r.err;
    EXPECT_GE(r.elapsed, seconds(2));
    EXPECT_NE(LastLine(r.out).find("未找到设备"), std::string::npos) << r.out;
    // It did search: the enter-upgrade command went out.
    const std::vector<uint8_t> sent = line.receive(23, milliseconds(1000));
    ASSERT_EQ(sent.size(), 23u);
    EXPECT_EQ(sent[3], 0x19);
}

TEST_F(CliUpgrade, TwoBoardsAtOnceBothSucceed) {
    const std::string image = WriteImage("image.bin", kSmallImage);
    SimProcess a({"--out", Path("a.bin")});
    SimProcess b({"--out", Path("b.bin"), "--baud", "9600"});
    const ChildResult r =
        Cli({"upgrade", "--port", a.slavePath(), "--port", b.slavePath(), "--image", image});
    EXPECT_EQ(r.exitCode, kExitOk) << r.out << r.err;
    a.stop();  // each writes what it received as it ends
    b.stop();
    const std::vector<uint8_t> expected = Received(ReadFile(image));
    EXPECT_EQ(ReadFile(Path("a.bin")), expected);
    EXPECT_EQ(ReadFile(Path("b.bin")), expected);
    // The summary table: a header and one row per port.
    const size_t header = r.out.find("串口");
    ASSERT_NE(header, std::string::npos) << r.out;
    const std::string table = r.out.substr(header);
    for (const auto& port : {a.slavePath(), b.slavePath()}) {
        const size_t row = table.find(port + " ");
        ASSERT_NE(row, std::string::npos) << table;
        EXPECT_NE(table.substr(row, table.find('\n', row) - row).find(kSucceeded),
                  std::string::npos)
            << table;
    }
}

TEST_F(CliUpgrade, OneOfTwoFailingLeavesTheOtherToSucceed) {
    const std::string image = WriteImage("image.bin", kSmallImage);
    SimProcess good({"--out", Path("good.bin")});
    SimProcess bad({"--wrong-sum"});
    const ChildResult r = Cli({"upgrade", "--port", bad.slavePath(), "--port", good.slavePath(),
                               "--image", image, "--stall-timeout", "2"});
    EXPECT_EQ(r.exitCode, kExitFailed) << r.out << r.err;
    good.stop();  // it writes what it received as it ends
    EXPECT_EQ(ReadFile(Path("good.bin")), Received(ReadFile(image)));
    bool goodLine = false;
    bool badLine = false;
    size_t start = 0;
    while (start < r.out.size()) {
        const size_t end = r.out.find('\n', start);
        const std::string line = r.out.substr(start, end - start);
        goodLine = goodLine || (line.rfind(good.slavePath() + " ", 0) == 0 &&
                                line.find(kSucceeded) != std::string::npos);
        badLine = badLine || (line.rfind(bad.slavePath() + " ", 0) == 0 &&
                              line.find(kFailed) != std::string::npos);
        start = end == std::string::npos ? r.out.size() : end + 1;
    }
    EXPECT_TRUE(goodLine) << r.out;
    EXPECT_TRUE(badLine) << r.out;
}

TEST_F(CliUpgrade, SignalDuringTransferStopsClosesAndExits130) {
    const std::string image = WriteImage("large.bin", kLargeImage);
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        SimProcess sim({"--pace"});  // the line's own time: the transfer takes minutes
        ChildProcess cli(CliExecutable(), {"upgrade", "--port", sim.slavePath(), "--image", image},
                         Options());
        ASSERT_TRUE(cli.waitForOutput("已找到设备，正在升级", kChildTimeout))
            << cli.out() << cli.err();
        cli.sendSignal(signal);
        const std::optional<int> code = cli.wait(kChildTimeout);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, kExitInterrupted) << cli.out() << cli.err();
        EXPECT_NE(LastLine(cli.out()).find("停止升级"), std::string::npos) << cli.out();
        CComPort port;
        EXPECT_EQ(port.Open(sim.slavePath().c_str(), 1024, 1024), kErrSuccess);
    }
}

TEST_F(CliUpgrade, ComNameLeadsThroughThePortsFolder) {
    const std::string image = WriteImage("image.bin", kSmallImage);
    SimProcess sim({"--out", Path("received.bin")});
    LinkCom(7, sim.slavePath());
    const ChildResult r = Cli({"upgrade", "--port", "COM7", "--image", image});
    EXPECT_EQ(r.exitCode, kExitOk) << r.out << r.err;
    EXPECT_NE(LastLine(r.out).find(kSucceeded), std::string::npos) << r.out;
    sim.stop();  // it writes what it received as it ends
    EXPECT_EQ(ReadFile(Path("received.bin")), Received(ReadFile(image)));
}

TEST_F(CliUpgrade, UsageErrorsEndWithCode2AndTouchNoPort) {
    const std::string image = WriteImage("image.bin", kSmallImage);
    PtyPair line;
    const std::string port = line.slavePath();
    LinkCom(9, port);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"flash"},
        {"upgrade", "--image", image},
        {"upgrade", "--port", port},
        {"upgrade", "--port", port, "--image", image, "--data-bits", "9"},
        {"upgrade", "--port", port, "--image", image, "--parity", "mark"},
        {"upgrade", "--port", port, "--image", image, "--stop-bits", "3"},
        {"upgrade", "--port", port, "--image", image, "--baud", "0"},
        {"upgrade", "--port", port, "--image", image, "--baud", "49"},
        {"upgrade", "--port", port, "--image", image, "--baud", "4000001"},
        {"upgrade", "--port", port, "--image", image, "--baud", "99999999999"},
        {"upgrade", "--port", port, "--image", image, "--search-timeout", "0"},
        {"upgrade", "--port", port, "--image", image, "--search-timeout", "0.09"},
        {"upgrade", "--port", port, "--image", image, "--search-timeout", "1e19"},
        {"upgrade", "--port", port, "--image", image, "--search-timeout", "86400.5"},
        {"upgrade", "--port", port, "--image", image, "--search-timeout", "nan"},
        {"upgrade", "--port", port, "--image", image, "--search-timeout", "inf"},
        {"upgrade", "--port", port, "--image", image, "--search-timeout", "5s"},
        {"upgrade", "--port", port, "--image", image, "--stall-timeout", "-1"},
        {"upgrade", "--port", port, "--image", image, "--stall-timeout", "1e19"},
        {"upgrade", "--port", port, "--image", image, "--stall-timeout", "1e-9"},
        {"upgrade", "--port", port, "--image", image, "--stall-timeout", "-nan"},
        {"upgrade", "--port", port, "--image", image, "--speed", "fast"},
        {"upgrade", "--port", port, "--port", port, "--image", image},
        {"upgrade", "--port", "COM9", "--port", port, "--image", image},
        {"upgrade", "--port", "\\\\.\\com9", "--port", "COM9", "--image", image},
    };
    for (const auto& args : cases) {
        std::string joined;
        for (const auto& a : args) {
            joined += a + " ";
        }
        SCOPED_TRACE(joined);
        const ChildResult r = Cli(args);
        EXPECT_EQ(r.exitCode, kExitUsage) << r.out << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    ExpectSilentLine(line);
}

// The edges of every numeric option's range are accepted: the run goes on to the port
// (which does not exist here, exit 3) instead of ending with a usage error.
TEST_F(CliUpgrade, NumericOptionsAcceptTheEdgesOfTheirRanges) {
    const std::string image = WriteImage("image.bin", kSmallImage);
    const std::vector<std::vector<std::string>> cases = {
        {"--baud", "50"},
        {"--baud", "4000000"},
        {"--search-timeout", "0.1"},
        {"--search-timeout", "86400"},
        {"--stall-timeout", "0.1"},
        {"--stall-timeout", "86400"},
    };
    for (const auto& option : cases) {
        SCOPED_TRACE(option[0] + " " + option[1]);
        std::vector<std::string> args = {"upgrade", "--port", Path("no-such-device"), "--image",
                                         image};
        args.insert(args.end(), option.begin(), option.end());
        const ChildResult r = Cli(args);
        EXPECT_EQ(r.exitCode, kExitPortFailed) << r.out << r.err;
    }
}

}  // namespace
}  // namespace tarvik::testing
