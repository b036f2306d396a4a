// What tarvik-cli prints: plain lines for files and pipes, a redrawn display on a terminal,
// the trace of every frame, and the outcome alone when quiet.
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

// "<text>  12.3 s" at the end of `line`: the outcome with its elapsed time.
bool EndsWithOutcome(const std::string& line, const std::string& text) {
    const size_t at = line.rfind(text + "  ");
    if (at == std::string::npos || line.size() < 2 || line.compare(line.size() - 2, 2, " s") != 0) {
        return false;
    }
    const std::string number =
        line.substr(at + text.size() + 2, line.size() - 2 - (at + text.size() + 2));
    const size_t dot = number.find('.');
    return dot != std::string::npos && dot > 0 && dot + 2 == number.size() &&
           number.find_first_not_of("0123456789.") == std::string::npos;
}

// One trace line: "[<ms> ms] <port> -> <hex>" or with "<-"; false when it is not one.
struct TraceEntry {
    long long ms = 0;
    std::string port;
    std::string direction;
    std::string bytes;  // " 68 3A ..." : a space before every byte
};

bool ParseTrace(const std::string& line, TraceEntry& entry) {
    const size_t close = line.find(" ms] ");
    if (line.empty() || line[0] != '[' || close == std::string::npos) {
        return false;
    }
    const std::string stamp = line.substr(1, close - 1);
    const size_t digits = stamp.find_first_not_of(' ');
    if (digits == std::string::npos ||
        stamp.find_first_not_of("0123456789", digits) != std::string::npos) {
        return false;
    }
    entry.ms = std::stoll(stamp.substr(digits));
    const std::string rest = line.substr(close + 5);
    size_t arrow = rest.find(" -> ");
    if (arrow == std::string::npos) {
        arrow = rest.find(" <- ");
    }
    if (arrow == std::string::npos) {
        return false;
    }
    entry.port = rest.substr(0, arrow);
    entry.direction = rest.substr(arrow + 1, 2);
    entry.bytes = rest.substr(arrow + 3);
    if (entry.bytes.empty() || entry.bytes.size() % 3 != 0) {
        return false;
    }
    for (size_t i = 0; i < entry.bytes.size(); i += 3) {
        const std::string hex = "0123456789ABCDEF";
        if (entry.bytes[i] != ' ' || hex.find(entry.bytes[i + 1]) == std::string::npos ||
            hex.find(entry.bytes[i + 2]) == std::string::npos) {
            return false;
        }
    }
    return true;
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
    EXPECT_TRUE(EndsWithOutcome(lines.back(), "升级成功")) << lines.back();
}

TEST_F(CliOutput, TerminalLinesAreRedrawnInPlace) {
    ChildOptions options;
    options.stdoutTerminal = true;
    const ChildResult r = Upgrade({}, options);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    // Back to the top of the block of lines, each line cleared and written anew.
    EXPECT_NE(r.out.find("\x1b[1A"), std::string::npos) << r.out;
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
    const std::string enterUpgrade = " 68 3A 57 19" + zeros + " 12 45 2E";
    bool sentEnterUpgrade = false;
    bool receivedReply = false;
    bool sentFinish = false;
    long long previous = 0;
    for (const std::string& text : Lines(r.err)) {
        TraceEntry e;
        ASSERT_TRUE(ParseTrace(text, e)) << text;
        EXPECT_EQ(e.port, m_port);
        EXPECT_GE(e.ms, previous) << text;
        previous = e.ms;
        const bool sent = e.direction == "->";
        sentEnterUpgrade = sentEnterUpgrade || (sent && e.bytes == enterUpgrade);
        sentFinish = sentFinish || (sent && e.bytes.rfind(" 68 3A 57 1E 01", 0) == 0);
        // A reply from the board: a whole 23-byte command frame.
        receivedReply =
            receivedReply || (!sent && e.bytes.size() == 23 * 3 && e.bytes.rfind(" 68 3A", 0) == 0);
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
