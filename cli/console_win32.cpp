// <windows.h> first: the other system headers build on it.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "cli/console.h"
#include "serial/wide_text.h"

namespace tarvik::cli {

namespace {

constexpr size_t kConsoleBufferBytes = 16384;

HANDLE ConsoleOf(std::FILE* stream) {
    const intptr_t handle = _get_osfhandle(_fileno(stream));
    return handle == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(handle);
}

}  // namespace

void PrepareConsole() {
    SetConsoleOutputCP(CP_UTF8);
    for (std::FILE* stream : {stdout, stderr}) {
        const HANDLE console = ConsoleOf(stream);
        DWORD mode = 0;
        if (GetConsoleMode(console, &mode)) {
            // Refused by consoles older than Windows 10: those get plain lines.
            SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
            // The UTF-8 bytes go to the console as they are and whole: a C runtime in text
            // mode may take them for characters of another code page, and one that writes
            // an unbuffered stream byte by byte splits every Chinese character (Wine's does
            // both). The console itself starts a new line at '\n'; the writers flush.
            _setmode(_fileno(stream), _O_BINARY);
            std::setvbuf(stream, nullptr, _IOFBF, kConsoleBufferBytes);
        }
    }
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    std::vector<std::string> arguments = CommandLineUtf8();
    if (arguments.empty()) {
        return std::vector<std::string>(argv, argv + argc);
    }
    return arguments;
}

bool IsLiveTerminal(std::FILE* stream) {
    DWORD mode = 0;
    return GetConsoleMode(ConsoleOf(stream), &mode) &&
           (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::optional<TerminalSize> TerminalSizeOf(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(ConsoleOf(stream), &info)) {
        return std::nullopt;
    }
    const SHORT columns = info.srWindow.Right - info.srWindow.Left + 1;
    const SHORT rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    if (columns <= 0) {
        return std::nullopt;
    }
    return TerminalSize{static_cast<size_t>(columns), static_cast<size_t>(rows > 0 ? rows : 0)};
}

std::string CanonicalPath(const std::string& path) {
    // Device names (\\.\COM7) stay as they are; a file path becomes absolute.
    if (path.rfind("\\\\.\\", 0) == 0) {
        return path;
    }
    const std::wstring wide = WideFromUtf8(path);
    const DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (length == 0) {
        return path;
    }
    std::wstring full(length, L'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
    if (written == 0 || written >= length) {
        return path;
    }
    full.resize(written);
    return Utf8FromWide(full);
}

const char* PortNamesHelp() {
    return "PORT is a COM name, COM1-COM256 (also \\\\.\\COM10), as Device Manager shows it, or a\n"
           "device server's port: rfc2217://HOST:PORT or socket://HOST:PORT (a file\n"
           "%LOCALAPPDATA%\\tarvik\\ports\\com3 holding such an address makes it COM3).";
}

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace tarvik::cli
