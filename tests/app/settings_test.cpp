// The settings file: the profile reading rules, the file's exact content, and a save that
// never loses the old settings.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <climits>
#include <filesystem>
#include <string>

#include "scoped_config.h"
#include "settings/settings.h"

namespace tarvik {
namespace {

using testing::ReadText;
using testing::ScopedConfigHome;
using testing::WriteText;

std::string Repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

struct StringCase {
    const char* name;
    std::string text;
    const char* section;
    const char* key;
    std::string expected;
};

TEST(ProfileReader, TextValues) {
    const std::string fallback = "<default>";
    const StringCase cases[] = {
        {"plain", "[Info]\nupgrade_path=/fw/a.bin\n", "info", "upgrade_path", "/fw/a.bin"},
        {"section and key in other case", "[INFO]\nUPGRADE_PATH=x\n", "info", "upgrade_path", "x"},
        {"blanks around key and value", "[info]\n  upgrade_path =  two words  \n", "Info",
         "upgrade_path", "two words"},
        {"blanks inside the section name", "[ Info ]\nk=v\n", "info", "k", "v"},
        {"CR LF line ends", "[Info]\r\nk=v\r\n", "info", "k", "v"},
        {"matching quotes removed", "[Info]\nk=\"/q/x.bin\"\n", "info", "k", "/q/x.bin"},
        {"single quotes removed", "[Info]\nk='a b'\n", "info", "k", "a b"},
        {"unmatched quote kept", "[Info]\nk=\"abc\n", "info", "k", "\"abc"},
        {"empty value", "[Info]\nk=\n", "info", "k", ""},
        {"equals sign inside the value", "[Info]\nk=a=b\n", "info", "k", "a=b"},
        {"missing key", "[Info]\nother=1\n", "info", "k", fallback},
        {"key without '='", "[Info]\nk\n", "info", "k", fallback},
        {"other section only", "[Main]\nk=1\n", "info", "k", fallback},
        {"key before any section", "k=1\n[Info]\n", "info", "k", fallback},
        {"comment line", "[Info]\n;k=1\n", "info", "k", fallback},
        {"first of two keys wins", "[Info]\nk=1\nK=2\n", "info", "k", "1"},
        {"only the first section of a name is searched", "[Info]\na=1\n[info]\nk=2\n", "info", "k",
         fallback},
        {"no file content", "", "info", "k", fallback},
        {"long text cut to 199", "[Info]\nk=" + Repeat("a", 250) + "\n", "info", "k",
         Repeat("a", 199)},
        {"199 kept whole", "[Info]\nk=" + Repeat("b", 199) + "\n", "info", "k", Repeat("b", 199)},
        {"long Chinese text cut by characters", "[Info]\nk=" + Repeat("固件", 150) + "\n", "info",
         "k", Repeat("固件", 99) + "固"},
    };
    for (const StringCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CProfile::Parse(c.text).GetString(c.section, c.key, fallback), c.expected);
    }
}

TEST(ProfileReader, IntegerValues) {
    constexpr int kFallback = 42;
    const struct {
        const char* value;  // nullptr: the key is missing
        int expected;
    } cases[] = {
        {"5", 5},
        {"0", 0},
        {"+3", 3},
        {"-1", -1},
        {"12abc", 12},
        {"7 8", 7},
        {"abc", 0},
        {"-", 0},
        {"\"9\"", 9},
        {"", kFallback},
        {nullptr, kFallback},
        {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value == nullptr ? "<missing>" : c.value);
        const std::string text =
            c.value == nullptr ? "[Info]\n" : std::string("[Info]\nScom=") + c.value + "\n";
        EXPECT_EQ(CProfile::Parse(text).GetInt("info", "scom", kFallback), c.expected);
    }
}

// Whether a file without a byte-order mark is another editor's UTF-8 (else, on Windows, the
// earlier program's code page 936).
TEST(ProfileReader, TellsUtf8FromCodePage936) {
    const struct {
        const char* name;
        std::string bytes;
        bool utf8;
    } cases[] = {
        {"ASCII only reads the same either way", "[Info]\r\nupgrade_path=C:\\fw\\a.bin\r\n", false},
        {"empty", "", false},
        {"Chinese in UTF-8", "upgrade_path=C:\\\xE5\x9B\xBA\xE4\xBB\xB6\\a.bin", true},
        {"a four-byte character", "x=\xF0\x9F\x94\x8C", true},
        {"the highest code point", "x=\xF4\x8F\xBF\xBF", true},
        {"Chinese in code page 936 (固件 升级)",
         "upgrade_path=C:\\\xB9\xCC\xBC\xFE\\\xC9\xFD\xBC\xB6.bin", false},
        {"a lead byte at the very end", "x=\xE5\x9B", false},
        {"a continuation byte alone", "x=\x80", false},
        {"an overlong slash", "x=\xC0\xAF", false},
        {"an overlong three-byte form", "x=\xE0\x80\xAF", false},
        {"a surrogate", "x=\xED\xA0\x80", false},
        {"beyond U+10FFFF", "x=\xF4\x90\x80\x80", false},
        {"a lead byte F5", "x=\xF5\x80\x80\x80", false},
        {"UTF-8 then one byte of 936", "x=\xE5\x9B\xBA\xB9", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsUtf8BeyondAscii(c.bytes), c.utf8) << c.name;
    }
}

TEST(SettingsFile, NoFileGivesTheDefaults) {
    ScopedConfigHome home;
    const Settings loaded = LoadSettings(home.settingsFile());
    EXPECT_EQ(loaded, Settings{});
    EXPECT_EQ(loaded.upgradePath, "");
    EXPECT_EQ(loaded.portIndex, 0);
    EXPECT_EQ(loaded.baudIndex, 9);
    EXPECT_EQ(loaded.dataBitsIndex, 1);
    EXPECT_EQ(loaded.stopBitsIndex, 0);
    EXPECT_EQ(loaded.parityIndex, 0);
}

TEST(SettingsFile, LivesInTheConfigurationFolder) {
    ScopedConfigHome home;
    EXPECT_EQ(SettingsFilePath(), home.settingsFile().string());
}

TEST(SettingsFile, WritesExactlyTheSevenKeysAndReadsThemBack) {
    ScopedConfigHome home;
    Settings settings;
    settings.upgradePath = "/home/op/固件/relay v2.bin";
    settings.upgradeName = "relay v2.bin";
    settings.portIndex = 4;      // COM5
    settings.dataBitsIndex = 0;  // "7"
    settings.stopBitsIndex = 2;  // "2"
    settings.parityIndex = 2;    // "EVEN"
    ASSERT_TRUE(SaveSettings(home.settingsFile(), settings));
    EXPECT_EQ(ReadText(home.settingsFile()),
              "[Info]\n"
              "upgrade_path=/home/op/固件/relay v2.bin\n"
              "upgrade_name=relay v2.bin\n"
              "Scom=4\n"
              "Sbotelv=9\n"
              "Sdata=0\n"
              "Sstop=2\n"
              "Scheck=2\n");
    EXPECT_EQ(LoadSettings(home.settingsFile()), settings);
}

TEST(SettingsFile, NoSelectionIsWrittenAsMinusOneAndReadBackSo) {
    ScopedConfigHome home;
    Settings settings;
    settings.portIndex = -1;
    settings.parityIndex = -1;
    ASSERT_TRUE(SaveSettings(home.settingsFile(), settings));
    EXPECT_NE(ReadText(home.settingsFile()).find("\nScom=-1\n"), std::string::npos);
    EXPECT_EQ(LoadSettings(home.settingsFile()), settings);
}

TEST(SettingsFile, SavingDropsOtherSectionsAndKeys) {
    ScopedConfigHome home;
    WriteText(home.settingsFile(),
              "[Window]\nx=10\n[INFO]\nupgrade_path=/old.bin\nextra=1\nScom=3\n");
    const Settings loaded = LoadSettings(home.settingsFile());
    EXPECT_EQ(loaded.upgradePath, "/old.bin");
    EXPECT_EQ(loaded.portIndex, 3);
    ASSERT_TRUE(SaveSettings(home.settingsFile(), loaded));
    EXPECT_EQ(ReadText(home.settingsFile()), FormatSettings(loaded));
    EXPECT_EQ(ReadText(home.settingsFile()).find("extra"), std::string::npos);
    EXPECT_EQ(ReadText(home.settingsFile()).find("Window"), std::string::npos);
}

TEST(SettingsFile, ALineBreakInAPathCannotAddKeys) {
    ScopedConfigHome home;
    Settings settings;
    settings.upgradePath = "/tmp/a\nScom=200";
    settings.portIndex = 6;
    ASSERT_TRUE(SaveSettings(home.settingsFile(), settings));
    const Settings loaded = LoadSettings(home.settingsFile());
    EXPECT_EQ(loaded.portIndex, 6);
    EXPECT_EQ(loaded.upgradePath, "/tmp/a");
}

// A save that fails half-way (here: the file size limit stops the write, as a full disk
// would) must leave the previous settings as they were, and no stray file behind.
TEST(SettingsFile, AFailedSaveKeepsTheOldFile) {
    ScopedConfigHome home;
    Settings old;
    old.upgradePath = "/fw/old.bin";
    old.portIndex = 2;
    ASSERT_TRUE(SaveSettings(home.settingsFile(), old));
    const std::string before = ReadText(home.settingsFile());

    Settings next;
    next.upgradePath = "/fw/" + std::string(400, 'n') + ".bin";
    next.portIndex = 7;

    constexpr rlim_t kTinyFileLimit = 16;  // bytes: the new file's first line does not fit
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = saved;
    tiny.rlim_cur = kTinyFileLimit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    const bool saved_ok = SaveSettings(home.settingsFile(), next);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(saved_ok);
    EXPECT_EQ(ReadText(home.settingsFile()), before);
    EXPECT_EQ(LoadSettings(home.settingsFile()), old);
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(home.path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1) << "a temporary file was left behind";
}

TEST(SettingsFile, ALinkedSettingsFileStaysALink) {
    ScopedConfigHome home;
    const auto dotfiles = home.path() / "dotfiles";
    std::filesystem::create_directories(dotfiles);
    WriteText(dotfiles / "tools-tarvik.ini", "[Info]\nScom=1\n");
    std::filesystem::create_symlink(dotfiles / "tools-tarvik.ini", home.settingsFile());

    Settings settings;
    settings.portIndex = 5;
    ASSERT_TRUE(SaveSettings(home.settingsFile(), settings));
    EXPECT_TRUE(std::filesystem::is_symlink(home.settingsFile()));
    EXPECT_EQ(LoadSettings(dotfiles / "tools-tarvik.ini").portIndex, 5);
}

TEST(SettingsFile, AMissingConfigurationFolderIsCreated) {
    ScopedConfigHome home;
    const auto nested = home.path() / "not" / "yet" / "tools-tarvik.ini";
    Settings settings;
    settings.baudIndex = 3;
    ASSERT_TRUE(SaveSettings(nested, settings));
    EXPECT_EQ(LoadSettings(nested).baudIndex, 3);
}

}  // namespace
}  // namespace tarvik
