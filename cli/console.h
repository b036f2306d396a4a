// What the command line needs from the terminal and the system, one file per platform
// (console.cpp, console_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tarvik::cli {

// Once, first thing in main. Linux: a closed pipe on standard output must not end an
// upgrade half-way (SIGPIPE ignored). Windows: the console shows UTF-8 (the texts are
// Chinese) and, where it can, takes the control sequences of the redrawn progress lines.
void PrepareConsole();

// The program's arguments as UTF-8. Windows passes `argv` in the system's code page, which
// cannot hold every file name: there they come from the wide command line instead.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Whether `stream` is a terminal that draws the redrawn progress lines (Windows: a console
// that takes control sequences); a file or a pipe is not.
bool IsLiveTerminal(std::FILE* stream);

struct TerminalSize {
    size_t columns = 0;
    size_t rows = 0;  // 0: unknown
};
// The size of the terminal behind `stream`, or nothing.
std::optional<TerminalSize> TerminalSizeOf(std::FILE* stream);

// `path` with links followed and made absolute, to tell two names of one device apart; the
// path itself when that fails.
std::string CanonicalPath(const std::string& path);

// What PORT may be, for the help text.
const char* PortNamesHelp();

// The part of `path` after its last folder separator ('/'; on Windows '\\' as well), as the
// window takes the image name.
std::string FileNameOf(const std::string& path);

}  // namespace tarvik::cli
