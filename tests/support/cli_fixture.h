// Shared set-up of the tarvik-cli tests, whichever build of it runs (the Linux program, or
// tarvik-cli.exe under Wine): a private folder (also the configuration folder of every child,
// so no test reads or writes the user's settings), image files, the program's exit codes and
// last-line texts, and one upgrade of a board checked end to end.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "child_process.h"
#include "sim_process.h"

namespace tarvik::testing {

// The command line's exit codes.
enum CliExit : int {
    kExitOk = 0,
    kExitFailed = 1,
    kExitUsage = 2,
    kExitPortFailed = 3,
    kExitNotFound = 4,
    kExitInterrupted = 130,
};

inline constexpr uint32_t kSmallImage = 3000;     // 24 blocks, the last one partly filled
inline constexpr uint32_t kBlockMultiple = 1024;  // 9 blocks, the last one all fill
inline constexpr uint32_t kLargeImage = 1 << 20;  // far longer than any test waits for

// The last line of an upgrade.
inline const std::string kFailed = "升级失败";
inline const std::string kSucceeded = "升级成功";

class CliTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A path inside the private folder.
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    // The configuration folder the children see as XDG_CONFIG_HOME.
    std::string ConfigFolder() const { return Path("config"); }
    // A ports-folder entry comN leading to `target`.
    void LinkCom(int number, const std::string& target) const;

    // An image of `length` bytes with "IO-" at offset 1 (unless `marker` is false) and
    // varied content, written to the private folder; returns its path.
    std::string WriteImage(const std::string& name, uint32_t length, bool marker = true) const;

    // Runs tarvik-cli with the private configuration folder.
    ChildResult Cli(const std::vector<std::string>& args, ChildOptions options = {}) const;
    ChildOptions Options() const;

    // How the test reaches the program and a board. The Wine tests run tarvik-cli.exe under
    // Wine against a board linked as a COM port of the prefix, and say so here.
    virtual ChildResult RunProgram(const std::vector<std::string>& args) const { return Cli(args); }
    // tarvik-sim's arguments for a board.
    virtual std::vector<std::string> BoardArgs(std::vector<std::string> simArgs) const {
        return simArgs;
    }
    // The port the program opens for the board.
    virtual std::string BoardPort(const SimProcess& sim) const { return sim.slavePath(); }
    // A path of the private folder as the program sees it.
    virtual std::string ProgramPath(const std::string& path) const { return path; }

    // Upgrades a board (tarvik-sim with `simArgs`) with `image`, through `port` (when empty,
    // the board's port), and checks it end to end: exit code 0, success on the last line,
    // and the board received exactly the image and its fill.
    void ExpectBoardReceives(const std::string& image, const std::vector<std::string>& simArgs,
                             const std::string& port = "") const;

    // One upgrade of a board: what it shows, the image's length and tarvik-sim's arguments.
    struct DeliveryCase {
        const char* what;
        uint32_t length;
        std::vector<std::string> simArgs;
    };
    // The images every build of the program delivers whole: a partly filled last block, a
    // last block of fill only, and a board at 9600 baud found by the scan.
    static std::vector<DeliveryCase> DeliveryCases();
    // ExpectBoardReceives for each case, with an image of its length.
    void ExpectEachBoardReceives(const std::vector<DeliveryCase>& cases) const;

private:
    std::string m_dir;
};

std::vector<uint8_t> ReadFile(const std::string& path);
// What the board receives for an image: the image, then 0xFF up to the end of its last
// block (the last block always carries fill, a whole block of it when the length is a
// multiple of 128).
std::vector<uint8_t> Received(const std::vector<uint8_t>& image);
// The last line of `text` that is not empty.
std::string LastLine(const std::string& text);
// True when `text` holds a byte below 0x20 other than a line feed, DEL, or a C1 control
// character encoded in UTF-8.
bool HasControlCharacters(const std::string& text);

}  // namespace tarvik::testing
