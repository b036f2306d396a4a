#include "settings/settings.h"

#include <climits>
#include <cstdint>
#include <sstream>

namespace tarvik {

namespace {

constexpr char kKeyPath[] = "upgrade_path";
constexpr char kKeyName[] = "upgrade_name";
constexpr char kKeyPort[] = "Scom";
constexpr char kKeyBaud[] = "Sbotelv";
constexpr char kKeyDataBits[] = "Sdata";
constexpr char kKeyStopBits[] = "Sstop";
constexpr char kKeyParity[] = "Scheck";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string Trim(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && IsBlank(text[first])) {
        ++first;
    }
    while (last > first && IsBlank(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

// The first `count` characters of UTF-8 `text`; a character is never split.
std::string CutCharacters(const std::string& text, size_t count) {
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool startsCharacter = (byte & 0xC0) != 0x80;
        if (startsCharacter) {
            if (characters == count) {
                return text.substr(0, i);
            }
            ++characters;
        }
    }
    return text;
}

// One line of the file holds one value: a line break inside a value would start a new key.
std::string OneLine(const std::string& value) {
    return value.substr(0, value.find_first_of("\r\n"));
}

}  // namespace

CProfile CProfile::Parse(const std::string& text) {
    CProfile profile;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == ';') {
            continue;
        }
        if (trimmed[0] == '[') {
            const size_t close = trimmed.find(']');
            const size_t length = (close == std::string::npos) ? std::string::npos : close - 1;
            profile.m_sections.push_back(Section{Trim(trimmed.substr(1, length)), {}});
            continue;
        }
        if (profile.m_sections.empty()) {
            continue;  // lines before the first section belong to none
        }
        Entry entry;
        const size_t equals = trimmed.find('=');
        if (equals == std::string::npos) {
            entry.key = trimmed;
        } else {
            entry.key = Trim(trimmed.substr(0, equals));
            entry.value = Trim(trimmed.substr(equals + 1));
            entry.hasValue = true;
        }
        profile.m_sections.back().entries.push_back(std::move(entry));
    }
    return profile;
}

const CProfile::Entry* CProfile::Find(const std::string& section, const std::string& key) const {
    // Only the first section of that name is searched, and its first such key wins.
    for (const Section& candidate : m_sections) {
        if (!EqualNoCase(candidate.name, section)) {
            continue;
        }
        for (const Entry& entry : candidate.entries) {
            if (EqualNoCase(entry.key, key)) {
                return &entry;
            }
        }
        return nullptr;
    }
    return nullptr;
}

std::string CProfile::GetString(const std::string& section, const std::string& key,
                                const std::string& fallback) const {
    const Entry* entry = Find(section, key);
    std::string value = (entry != nullptr && entry->hasValue) ? entry->value : fallback;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return CutCharacters(value, kProfileTextMax);
}

int CProfile::GetInt(const std::string& section, const std::string& key, int fallback) const {
    const std::string value = GetString(section, key, std::string());
    if (value.empty()) {
        return fallback;
    }
    size_t i = 0;
    while (i < value.size() && (IsBlank(value[i]) || value[i] == '\n')) {
        ++i;
    }
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
        negative = value[i] == '-';
        ++i;
    }
    // Far beyond any list index; a longer number saturates instead of overflowing.
    constexpr int64_t kLimit = static_cast<int64_t>(INT_MAX) + 1;
    int64_t number = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        number = number * 10 + (value[i] - '0');
        if (number > kLimit) {
            number = kLimit;
        }
    }
    if (negative) {
        return static_cast<int>(-number);
    }
    return static_cast<int>(number > INT_MAX ? INT_MAX : number);
}

Settings SettingsFromProfile(const CProfile& profile) {
    const Settings defaults;
    Settings settings;
    settings.upgradePath = profile.GetString(kSettingsSection, kKeyPath, "");
    settings.upgradeName = profile.GetString(kSettingsSection, kKeyName, "");
    settings.portIndex = profile.GetInt(kSettingsSection, kKeyPort, defaults.portIndex);
    settings.baudIndex = profile.GetInt(kSettingsSection, kKeyBaud, defaults.baudIndex);
    settings.dataBitsIndex = profile.GetInt(kSettingsSection, kKeyDataBits, defaults.dataBitsIndex);
    settings.stopBitsIndex = profile.GetInt(kSettingsSection, kKeyStopBits, defaults.stopBitsIndex);
    settings.parityIndex = profile.GetInt(kSettingsSection, kKeyParity, defaults.parityIndex);
    return settings;
}

bool IsUtf8BeyondAscii(std::string_view bytes) {
    constexpr unsigned char kAsciiEnd = 0x80;
    constexpr unsigned char kContinuationMask = 0xC0;
    constexpr unsigned char kContinuation = 0x80;
    bool beyondAscii = false;
    size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < kAsciiEnd) {
            ++i;
            continue;
        }
        beyondAscii = true;
        // The length of the sequence and the range its second byte must lie in, which rules
        // out overlong forms (C0, C1, E0 80..9F, F0 80..8F), surrogates (ED A0..BF) and code
        // points beyond U+10FFFF (F4 90..BF, F5 and up).
        size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : low;
            high = lead == 0xED ? 0x9F : high;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : low;
            high = lead == 0xF4 ? 0x8F : high;
        } else {
            return false;
        }
        if (bytes.size() - i < length) {
            return false;
        }
        const auto second = static_cast<unsigned char>(bytes[i + 1]);
        if (second < low || second > high) {
            return false;
        }
        for (size_t k = 2; k < length; ++k) {
            if ((static_cast<unsigned char>(bytes[i + k]) & kContinuationMask) != kContinuation) {
                return false;
            }
        }
        i += length;
    }
    return beyondAscii;
}

std::string FormatSettings(const Settings& settings) {
    std::ostringstream out;
    out << '[' << kSettingsSection << "]\n";
    out << kKeyPath << '=' << OneLine(settings.upgradePath) << '\n';
    out << kKeyName << '=' << OneLine(settings.upgradeName) << '\n';
    out << kKeyPort << '=' << settings.portIndex << '\n';
    out << kKeyBaud << '=' << settings.baudIndex << '\n';
    out << kKeyDataBits << '=' << settings.dataBitsIndex << '\n';
    out << kKeyStopBits << '=' << settings.stopBitsIndex << '\n';
    out << kKeyParity << '=' << settings.parityIndex << '\n';
    return out.str();
}

}  // namespace tarvik
