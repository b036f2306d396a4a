#include "cli_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tarvik::testing {

namespace {
constexpr size_t kBlock = 128;
constexpr uint8_t kFill = 0xFF;
}  // namespace

void CliTest::SetUp() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvik-cli-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_dir = pattern;
    std::filesystem::create_directories(ConfigFolder() + "/tarvik-ports");
}

void CliTest::TearDown() {
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

void CliTest::LinkCom(int number, const std::string& target) const {
    const std::string link = ConfigFolder() + "/tarvik-ports/com" + std::to_string(number);
    std::filesystem::remove(link);
    std::filesystem::create_symlink(target, link);
}

std::string CliTest::WriteImage(const std::string& name, uint32_t length, bool marker) const {
    std::vector<uint8_t> bytes(length);
    uint32_t x = 0x2545F491u ^ length;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    // No stray marker anywhere, then one where the tool looks for it.
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == 'I' && bytes[i + 1] == 'O') {
            bytes[i + 1] = 'o';
        }
    }
    if (marker && length >= 4) {
        bytes[1] = 'I';
        bytes[2] = 'O';
        bytes[3] = '-';
    }
    const std::string path = Path(name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(length));
    return path;
}

ChildOptions CliTest::Options() const {
    ChildOptions options;
    options.setEnv = {{"XDG_CONFIG_HOME", ConfigFolder()}};
    return options;
}

void CliTest::ExpectBoardReceives(const std::string& image, const std::vector<std::string>& simArgs,
                                  const std::string& port) const {
    const std::string out = Path("received.bin");
    std::vector<std::string> args = {"--out", out};
    args.insert(args.end(), simArgs.begin(), simArgs.end());
    SimProcess sim(BoardArgs(args));
    const ChildResult r = RunProgram(
        {"upgrade", "--port", port.empty() ? BoardPort(sim) : port, "--image", ProgramPath(image)});
    EXPECT_EQ(r.exitCode, kExitOk) << r.out << r.err;
    EXPECT_NE(LastLine(r.out).find(kSucceeded), std::string::npos) << r.out;
    sim.stop();  // it writes what it received as it ends
    EXPECT_EQ(ReadFile(out), Received(ReadFile(image)));
}

std::vector<CliTest::DeliveryCase> CliTest::DeliveryCases() {
    return {
        {"a partly filled last block", kSmallImage, {}},
        {"a last block of fill only", kBlockMultiple, {}},
        {"a board listening at 9600 baud, found by the scan", kSmallImage, {"--baud", "9600"}},
    };
}

void CliTest::ExpectEachBoardReceives(const std::vector<DeliveryCase>& cases) const {
    for (const DeliveryCase& c : cases) {
        SCOPED_TRACE(c.what);
        ExpectBoardReceives(WriteImage("image.bin", c.length), c.simArgs);
    }
}

ChildResult CliTest::Cli(const std::vector<std::string>& args, ChildOptions options) const {
    options.setEnv.emplace_back("XDG_CONFIG_HOME", ConfigFolder());
    return RunCli(args, options);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> Received(const std::vector<uint8_t>& image) {
    std::vector<uint8_t> out = image;
    out.resize((image.size() / kBlock + 1) * kBlock, kFill);
    return out;
}

std::string LastLine(const std::string& text) {
    size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos) {
        return "";
    }
    const size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1) + 1);
}

bool HasControlCharacters(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\n') || c == 0x7F) {
            return true;
        }
        if (c == 0xC2 && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9F) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace tarvik::testing
