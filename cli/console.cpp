#include "cli/console.h"

#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tarvik::cli {

void PrepareConsole() {
    signal(SIGPIPE, SIG_IGN);
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

bool IsLiveTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) == 1;
}

std::optional<TerminalSize> TerminalSizeOf(std::FILE* stream) {
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
        return std::nullopt;
    }
    return TerminalSize{size.ws_col, size.ws_row};
}

std::string CanonicalPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

const char* PortNamesHelp() {
    return "PORT is a COM name (COM3: a link tarvik-ports/com3 in the configuration folder, else\n"
           "COM1-32 = /dev/ttyS0-31, COM33-64 = /dev/ttyUSB0-31, COM65-96 = /dev/ttyACM0-31), a\n"
           "device path, or a device server's port: rfc2217://HOST:PORT or socket://HOST:PORT\n"
           "(a file tarvik-ports/com3 holding such an address makes it COM3).";
}

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of("/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace tarvik::cli
