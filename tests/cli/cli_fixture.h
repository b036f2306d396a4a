// Shared set-up of the tarvik-cli tests: a private folder (also the configuration folder of
// every child, so no test reads or writes the user's settings) and image files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "child_process.h"

namespace tarvik::testing {

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
