// The settings file reader, fed any file at all.
//
// Rules: reading never fails or reads out of bounds; every text value keeps at most 199
// characters; what the tool writes back has the file's fixed shape (a section line and seven
// key lines, whatever the values held); the numbers read come back unchanged through a write
// and a read, and the texts never grow. (A text may shrink: the profile rules drop blanks
// around a value and one pair of quotes on every read, and a line break ends it on write.)
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_targets.h"
#include "settings/settings.h"

namespace tarvik::fuzz {
namespace {

constexpr size_t kFileLines = 8;  // [Info] and seven keys
constexpr const char* kKeys[] = {"upgrade_path", "upgrade_name", "Scom",   "Sbotelv",
                                 "Sdata",        "Sstop",        "Scheck", "missing"};
constexpr const char* kSections[] = {"Info", "INFO", "info", "other", ""};

struct Folder {
    Folder() {
        std::string pattern = "/tmp/tarvik-fuzz-settings-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        path = pattern;
        file = path + "/" + kSettingsFileName;
    }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
    std::string file;
};

const Folder& TheFolder() {
    static const Folder folder;
    return folder;
}

void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(text.data(), text.size());
}

size_t Characters(const std::string& utf8) {
    size_t count = 0;
    for (char c : utf8) {
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

size_t Lines(const std::string& text) {
    size_t count = 0;
    for (char c : text) {
        count += c == '\n' ? 1 : 0;
    }
    return count;
}

}  // namespace

int SettingsFile(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    const CProfile profile = CProfile::Parse(text);
    for (const char* section : kSections) {
        for (const char* key : kKeys) {
            const std::string value = profile.GetString(section, key, "fallback");
            TARVIK_FUZZ_CHECK(Characters(value) <= kProfileTextMax, "a text beyond 199 characters");
            profile.GetInt(section, key, -1);
        }
    }

    // Whether a file without a mark is another editor's UTF-8 (on Windows, else code page
    // 936): only with a byte beyond ASCII, and two well-formed texts make a well-formed one.
    if (IsUtf8BeyondAscii(text)) {
        TARVIK_FUZZ_CHECK(Characters(text) < text.size(), "UTF-8 without a byte beyond ASCII");
        TARVIK_FUZZ_CHECK(IsUtf8BeyondAscii(text + "\n" + text), "UTF-8 twice is not UTF-8");
    }

    const std::string& file = TheFolder().file;
    Write(file, text);
    const Settings first = LoadSettings(file);
    TARVIK_FUZZ_CHECK(Characters(first.upgradePath) <= kProfileTextMax, "path too long");
    TARVIK_FUZZ_CHECK(Characters(first.upgradeName) <= kProfileTextMax, "name too long");

    const std::string written = FormatSettings(first);
    TARVIK_FUZZ_CHECK(Lines(written) == kFileLines, "the written file lost its shape");
    Write(file, written);
    const Settings second = LoadSettings(file);
    TARVIK_FUZZ_CHECK(second.portIndex == first.portIndex && second.baudIndex == first.baudIndex &&
                          second.dataBitsIndex == first.dataBitsIndex &&
                          second.stopBitsIndex == first.stopBitsIndex &&
                          second.parityIndex == first.parityIndex,
                      "a number changed through a write and a read");
    TARVIK_FUZZ_CHECK(second.upgradePath.size() <= first.upgradePath.size() &&
                          second.upgradeName.size() <= first.upgradeName.size(),
                      "a text grew through a write and a read");
    return 0;
}

}  // namespace tarvik::fuzz
