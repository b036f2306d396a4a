// What tarvik-cli prints: plain lines for files and pipes, a redrawn display on a terminal,
// the trace of every frame, and the outcome alone when quiet.
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "sim_process.h"

namespace tarvik::testing {
namespace {

constexpr uint32_t kImageLength = 3000;  // 24 blocks

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

class CliOutput : public CliTest {
protected:
    ChildResult Upgrade(std::vector<std::string> extra, ChildOptions options = {}) {
        const std::string image = WriteImage("image.bin", kImageLength);
        SimProcess sim({});
        m_port = sim.slavePath();
        std::vector<std::string> args = {"upgrade", "--port", m_port, "--image", image};
        args.insert(args.end(), extra.begin(), extra.end());
        ChildResult r = Cli(args, options);
        sim.stop();
        return r;
    }
    std::string m_port;
};

TEST_F(CliOutput, PlainLinesTellTheWayWithoutControlCharacters) {
    const ChildResult r = Upgrade({});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_FALSE(HasControlCharacters(r.out)) << r.out;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind(m_port + "  ", 0), 0u) << "every line names its port: " << line;
    }
    // The search, the board found, the transfer to its last block, then the outcome with
    // the elapsed time.
    EXPECT_NE(r.out.find("正在寻找设备.."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("已找到设备，正在升级"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("24/24  100%"), std::string::npos) << r.out;
    EXPECT_TRUE(std::regex_search(lines.back(), std::regex("升级成功  [0-9]+\\.[0-9] s$")))
        << lines.back();
}

TEST_F(CliOutput, TerminalLinesAreRedrawnInPlace) {
    ChildOptions options;
    options.stdoutTerminal = true;
    const ChildResult r = Upgrade({}, options);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    // Back to the top of the block of lines, each line cleared and written anew.
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\x1b\\[1A"))) << r.out;
    EXPECT_NE(r.out.find("\r\x1b[2K"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("升级成功"), std::string::npos) << r.out;
}

TEST_F(CliOutput, TraceShowsEveryFrameWithItsTimeAndDirection) {
    const ChildResult r = Upgrade({"--trace"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    std::string zeros;
    for (int i = 0; i < 16; ++i) {
        zeros += " 00";
    }
    const std::regex line("^\\[ *([0-9]+) ms\\] (.+) (->|<-)((?: [0-9A-F]{2})+)$");
    const std::string enterUpgrade = " 68 3A 57 19" + zeros + " 12 45 2E";
    bool sentEnterUpgrade = false;
    bool receivedReply = false;
    bool sentFinish = false;
    long long previous = 0;
    for (const std::string& text : Lines(r.err)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, line)) << text;
        EXPECT_EQ(m[2].str(), m_port);
        const long long stamp = std::stoll(m[1].str());
        EXPECT_GE(stamp, previous) << text;
        previous = stamp;
        const std::string bytes = m[4].str();
        sentEnterUpgrade = sentEnterUpgrade || (m[3] == "->" && bytes == enterUpgrade);
        sentFinish = sentFinish || (m[3] == "->" && bytes.rfind(" 68 3A 57 1E 01", 0) == 0);
        // A reply from the board: a whole 23-byte command frame.
        receivedReply = receivedReply ||
                        (m[3] == "<-" && bytes.size() == 23 * 3 && bytes.rfind(" 68 3A", 0) == 0);
    }
    EXPECT_TRUE(sentEnterUpgrade) << r.err;
    EXPECT_TRUE(receivedReply) << r.err;
    EXPECT_TRUE(sentFinish) << r.err;
}

TEST_F(CliOutput, QuietPrintsTheOutcomeOnly) {
    const ChildResult r = Upgrade({"--quiet"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_NE(lines[0].find("升级成功"), std::string::npos);
    EXPECT_TRUE(r.err.empty()) << r.err;
}

}  // namespace
}  // namespace tarvik::testing
