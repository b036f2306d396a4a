// The settings file on Windows: c:\tools-tarvik.ini with its texts in code page 936, as the
// tool has always kept it, so a file written by an earlier version brings the user's last
// image back. A file that another editor saved in UTF-8 (with or without a byte-order mark)
// is read as UTF-8.
//
// A standard user of a current Windows may not create files in the root of C:. Then the
// settings go to %LOCALAPPDATA%\tarvik\tools-tarvik.ini instead, and loading reads whichever
// of the two files was written last: a save never goes nowhere, and the next run always sees
// it. Each file is written whole beside the old one and moved over it, so a failed save
// never loses the old settings.
#include <windows.h>

#include <string>

#include "serial/handle_win32.h"
#include "serial/wide_text.h"
#include "settings/settings.h"

namespace tarvik {

namespace {

constexpr char kWindowsSettingsPath[] = "c:\\tools-tarvik.ini";
constexpr wchar_t kFallbackRootVariable[] = L"LOCALAPPDATA";
constexpr wchar_t kFallbackFolder[] = L"\\tarvik";
constexpr UINT kChineseCodePage = 936;
// A file that starts with these bytes is UTF-8: what a text that code page 936 cannot hold
// (a path in another script) is saved as, rather than losing characters.
constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";
constexpr size_t kUtf8MarkSize = sizeof kUtf8Mark - 1;
constexpr wchar_t kTempSuffix[] = L".tmp";
// A settings file is a few hundred bytes; anything far larger is not one.
constexpr DWORD kMaxFileSize = 1 << 20;

std::string Utf8FromCodePage(const std::string& bytes, UINT codePage) {
    if (bytes.empty()) {
        return std::string();
    }
    const int size = static_cast<int>(bytes.size());
    const int length = MultiByteToWideChar(codePage, 0, bytes.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), size, wide.data(), length);
    return Utf8FromWide(wide);
}

// `utf8` in code page 936; false when a character has no exact counterpart there.
bool CodePageFromUtf8(const std::string& utf8, std::string& bytes) {
    bytes.clear();
    const std::wstring wide = WideFromUtf8(utf8);
    if (wide.empty()) {
        return true;
    }
    const int size = static_cast<int>(wide.size());
    BOOL lossy = FALSE;
    const int length = WideCharToMultiByte(kChineseCodePage, WC_NO_BEST_FIT_CHARS, wide.data(),
                                           size, nullptr, 0, nullptr, &lossy);
    if (length <= 0 || lossy) {
        return false;
    }
    bytes.assign(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(kChineseCodePage, WC_NO_BEST_FIT_CHARS, wide.data(), size, bytes.data(),
                        length, nullptr, &lossy);
    return !lossy;
}

// The file's bytes; false when it cannot be read.
bool ReadBytes(const std::wstring& path, std::string& bytes) {
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        return false;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart > kMaxFileSize) {
        return false;
    }
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        if (!::ReadFile(file.Get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done),
                        &read, nullptr) ||
            read == 0) {
            bytes.resize(done);
            break;
        }
        done += read;
    }
    return true;
}

bool WriteWhole(const std::wstring& path, const std::string& bytes) {
    const std::wstring temp = path + kTempSuffix;
    CFileHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        return false;
    }
    DWORD done = 0;
    bool written = true;
    while (written && done < bytes.size()) {
        DWORD wrote = 0;
        written = WriteFile(file.Get(), bytes.data() + done,
                            static_cast<DWORD>(bytes.size() - done), &wrote, nullptr) &&
                  wrote > 0;
        done += wrote;
    }
    written = written && FlushFileBuffers(file.Get());
    if (!file.Close() || !written ||
        !MoveFileExW(temp.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}

// When the file was last written; false when it does not exist.
bool LastWritten(const std::string& path, ULONGLONG& when) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (path.empty() ||
        !GetFileAttributesExW(WideFromUtf8(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    when = (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) |
           data.ftLastWriteTime.dwLowDateTime;
    return true;
}

std::string EncodeFile(const Settings& settings) {
    // Lines end as Windows text files' lines do.
    std::string text;
    for (const char c : FormatSettings(settings)) {
        if (c == '\n') {
            text += '\r';
        }
        text += c;
    }
    std::string bytes;
    if (CodePageFromUtf8(text, bytes)) {
        return bytes;
    }
    return kUtf8Mark + text;
}

}  // namespace

std::string SettingsFilePath() {
    return kWindowsSettingsPath;
}

std::string FallbackSettingsPath(const std::string& path) {
    wchar_t root[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(kFallbackRootVariable, root, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return std::string();
    }
    const std::string name = path.substr(path.find_last_of("\\/") + 1);
    return Utf8FromWide(std::wstring(root) + kFallbackFolder) + "\\" + name;
}

CProfile CProfile::ReadFile(const std::string& path) {
    std::string bytes;
    if (!ReadBytes(WideFromUtf8(path), bytes)) {
        return CProfile{};
    }
    if (bytes.compare(0, kUtf8MarkSize, kUtf8Mark) == 0) {
        return Parse(bytes.substr(kUtf8MarkSize));
    }
    // Another editor's UTF-8 without a mark (Notepad's default, a file copied from Linux).
    // Chinese in code page 936 is almost never well-formed UTF-8, so such bytes are UTF-8;
    // read as 936 they would turn a Chinese image path into other characters, which the
    // next save would then keep.
    if (IsUtf8BeyondAscii(bytes)) {
        return Parse(bytes);
    }
    return Parse(Utf8FromCodePage(bytes, kChineseCodePage));
}

Settings LoadSettings(const std::string& path) {
    const std::string fallback = FallbackSettingsPath(path);
    ULONGLONG primaryTime = 0;
    ULONGLONG fallbackTime = 0;
    const bool primary = LastWritten(path, primaryTime);
    if (LastWritten(fallback, fallbackTime) && (!primary || fallbackTime > primaryTime)) {
        return SettingsFromProfile(CProfile::ReadFile(fallback));
    }
    return SettingsFromProfile(CProfile::ReadFile(path));
}

bool SaveSettings(const std::string& path, const Settings& settings) {
    const std::string bytes = EncodeFile(settings);
    const std::string fallback = FallbackSettingsPath(path);
    if (WriteWhole(WideFromUtf8(path), bytes)) {
        // The fallback is older now; remove it so it cannot be mistaken for the newer one.
        if (!fallback.empty()) {
            DeleteFileW(WideFromUtf8(fallback).c_str());
        }
        return true;
    }
    if (fallback.empty()) {
        return false;
    }
    const std::wstring folder = WideFromUtf8(fallback.substr(0, fallback.find_last_of('\\')));
    CreateDirectoryW(folder.c_str(), nullptr);  // it may exist already
    return WriteWhole(WideFromUtf8(fallback), bytes);
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    return ReadBytes(WideFromUtf8(path), bytes);
}

bool ReplaceFileWhole(const std::string& path, const std::string& bytes) {
    const std::wstring wide = WideFromUtf8(path);
    const size_t slash = wide.find_last_of(L"\\/");
    if (slash != std::wstring::npos && slash > 0) {
        CreateDirectoryW(wide.substr(0, slash).c_str(), nullptr);  // may exist already
    }
    return WriteWhole(wide, bytes);
}

}  // namespace tarvik
