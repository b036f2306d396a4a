// tarvik-sim: a simulated relay control board on a pseudo-terminal, for tests, the demo and
// for trying the tool without hardware. See --help.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <variant>

#include "event_loop.h"
#include "options.h"
#include "port.h"

int main(int argc, char** argv) {
    using namespace tarvik::sim;
    auto parsed = parseOptions(argc, argv);
    if (const int* code = std::get_if<int>(&parsed)) {
        return *code;
    }
    const Options& options = std::get<Options>(parsed);

    // Signals become readable on a descriptor, so the event loop ends cleanly between two
    // steps and still prints its summary.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGHUP);
    sigprocmask(SIG_BLOCK, &ending, nullptr);
    const int signalFd = signalfd(-1, &ending, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        std::perror("tarvik-sim: signalfd");
        return kExitUsage;
    }
    signal(SIGPIPE, SIG_IGN);

    BoardPort port;
    std::string error;
    const bool opened = options.device ? port.openDevice(*options.device, options.board.baud, error)
                                       : port.openPty(error);
    if (!opened) {
        std::cerr << "tarvik-sim: " << error << "\n";
        return kExitUsage;
    }
    std::optional<std::string> link = options.link;
    if (options.com) {
        link = comLinkPath(*options.com);
    }
    if (link && !port.makeLink(*link, error)) {
        std::cerr << "tarvik-sim: " << error << "\n";
        return kExitUsage;
    }
    std::cout << port.path() << std::endl;

    const int code = runBoard(options, port, signalFd);
    close(signalFd);
    return code;
}
