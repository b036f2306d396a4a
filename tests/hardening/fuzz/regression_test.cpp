// Every saved input of every fuzz target, replayed through the same entry points under the
// normal compiler: the seeds that reach each state, and every input that once broke a rule.
// A broken rule aborts with its reason on standard error.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz_targets.h"

namespace tarvik::fuzz {
namespace {

struct Target {
    const char* name;  // also its folder under corpus/
    int (*entry)(const uint8_t*, size_t);
};

const Target kTargets[] = {
    {"reply_handler", ReplyHandler},
    {"gathering", ReplyGathering},
    {"settings", SettingsFile},
    {"telnet", TelnetStream},
};

// Names the target in test listings.
void PrintTo(const Target& target, std::ostream* os) {
    *os << target.name;
}

std::vector<std::filesystem::path> Inputs(const std::string& name) {
    std::vector<std::filesystem::path> files;
    const std::filesystem::path folder = std::filesystem::path(TARVIK_FUZZ_CORPUS) / name;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

class FuzzInputs : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzInputs, KeepEveryRule) {
    const Target& target = GetParam();
    const std::vector<std::filesystem::path> files = Inputs(target.name);
    EXPECT_FALSE(files.empty()) << "no saved inputs for " << target.name;
    target.entry(nullptr, 0);
    for (const std::filesystem::path& file : files) {
        SCOPED_TRACE(file.string());
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
        target.entry(bytes.data(), bytes.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzInputs, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tarvik::fuzz
