// The settings file tools-tarvik.ini: the last image chosen and the selections of the five
// port lists, carried from one run to the next.
//
//   [Info]
//   upgrade_path=<full path of the image>
//   upgrade_name=<its file name>
//   Scom=<port list index>      Sbotelv=<baud list index>   Sdata=<data-bits list index>
//   Sstop=<stop-bits list index> Scheck=<parity list index>
//
// Read with the rules of the classic profile reader (section and key names without regard to
// case, texts cut to 199 characters, integers as that reader parses them, a missing key
// takes its default). Plain C++; called on the user-interface thread only.
//
// Where the file lives and how its bytes are kept is the platform's part (settings_file.cpp,
// settings_file_win32.cpp): on Linux UTF-8 in the configuration folder; on Windows
// c:\tools-tarvik.ini in code page 936, as earlier versions of the tool wrote it, with a
// place of the user's own when the root of C: cannot be written.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

inline constexpr char kSettingsFileName[] = "tools-tarvik.ini";
inline constexpr char kSettingsSection[] = "Info";
// A text value keeps at most this many characters (the reader's 200-character buffer less
// its terminator).
inline constexpr size_t kProfileTextMax = 199;

struct Settings {
    std::string upgradePath;  // upgrade_path
    std::string upgradeName;  // upgrade_name
    int portIndex = 0;        // Scom: COM1
    int baudIndex = 9;        // Sbotelv: "115200"
    int dataBitsIndex = 1;    // Sdata: "8"
    int stopBitsIndex = 0;    // Sstop: "1"
    int parityIndex = 0;      // Scheck: "NONE"

    bool operator==(const Settings&) const = default;
};

// Linux: <configuration folder>/tools-tarvik.ini. Windows: c:\tools-tarvik.ini.
std::string SettingsFilePath();
// Where the settings of `path` go when `path` itself cannot be written; empty when there is
// no such place. Loading reads whichever of the two was saved last.
std::string FallbackSettingsPath(const std::string& path);

// A parsed INI text: sections of key=value lines.
class CProfile {
public:
    static CProfile Parse(const std::string& text);
    // A missing or unreadable file gives an empty profile.
    static CProfile ReadFile(const std::string& path);

    // The value of `key` in `section`, both matched without regard to ASCII case (the first
    // such section and key win); surrounding blanks and one pair of matching quotes are
    // removed; cut to kProfileTextMax characters. A missing key gives `fallback`.
    std::string GetString(const std::string& section, const std::string& key,
                          const std::string& fallback) const;
    // The value read as an integer: blanks, an optional sign, decimal digits up to the first
    // other character (none gives 0). A missing or empty value gives `fallback`.
    int GetInt(const std::string& section, const std::string& key, int fallback) const;

private:
    struct Entry {
        std::string key;
        std::string value;
        bool hasValue = false;  // a line without '=' names a key with no value
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };
    const Entry* Find(const std::string& section, const std::string& key) const;

    std::vector<Section> m_sections;
};

// True when `bytes` are well-formed UTF-8 (no overlong form, no surrogate, nothing beyond
// U+10FFFF, no sequence cut short) and hold at least one byte beyond ASCII: a settings file
// without a byte-order mark that another editor saved in UTF-8. Plain ASCII is not counted:
// it reads the same in every code page.
bool IsUtf8BeyondAscii(std::string_view bytes);

// The settings a parsed file holds; every value absent from it takes its default.
Settings SettingsFromProfile(const CProfile& profile);
// Reads `path` (or its fallback, when that was saved last); every value absent from it takes
// its default.
Settings LoadSettings(const std::string& path);
// The whole file as written: [Info] and the seven keys in their order.
std::string FormatSettings(const Settings& settings);
// Writes the file whole, beside the old one, and renames it over it: the old settings stay
// intact until the new ones are complete on disk. A symbolic link is written through. When
// `path` cannot be written, the fallback place is. False when it could not be saved anywhere
// (the old file is then untouched).
bool SaveSettings(const std::string& path, const Settings& settings);

// The platform's file calls the settings files share. ReadWholeFile: false when `path`
// cannot be read. ReplaceFileWhole: `bytes` written beside `path` and moved over it, so the
// old file stays intact until the new one is complete (a symbolic link is written through,
// missing folders are made); false when it could not be written.
bool ReadWholeFile(const std::string& path, std::string& bytes);
bool ReplaceFileWhole(const std::string& path, const std::string& bytes);

}  // namespace tarvik
