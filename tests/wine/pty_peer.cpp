// tarvik-pty-peer: the far end of a serial line for the Windows port tests under Wine.
//
//   tarvik-pty-peer --link PATH [-- COMMAND ARGS...]
//
// Opens a pseudo-terminal and links its slave as PATH (under Wine: dosdevices/comN of the
// prefix, so that the Windows program opens it as COMn). It prints the slave's path, then
// plays the far end: every byte it receives is sent back, except its commands, which begin
// with ESC and end with a newline:
//   ESC S delay,count,gap \n   after `delay` ms send `count` bytes ('a'..'z' over and over),
//                              `gap` ms apart (0: all in one write)
//   ESC L \n                   answer "L<baud>,<data bits>,<parity code>,<stop-bits code>\n"
//                              with the line settings the other side has set
//   ESC H delay \n             after `delay` ms hang up (close the master: the device
//                              vanishes), then after kRelinkPause open a fresh one as PATH
// With a COMMAND it runs it, serves until it ends and exits with its exit code; without, it
// serves until SIGINT or SIGTERM. The link is removed at the end.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "serial/termios2.h"

namespace {

using namespace std::chrono_literals;

constexpr uint8_t kCommandStart = 0x1B;
constexpr uint8_t kCommandEnd = '\n';
constexpr size_t kMaxCommand = 64;
// Between a hang-up and the fresh device: long enough that the other side sees the first
// one gone, short against the tests' generous waits for the next one.
constexpr auto kRelinkPause = 300ms;
constexpr int kPollPeriodMs = 50;
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

class Peer {
public:
    explicit Peer(std::string link) : m_link(std::move(link)) {}
    ~Peer() {
        CloseDevice();
        unlink(m_link.c_str());
    }

    // A fresh pseudo-terminal linked as the link path; false if none could be made.
    bool OpenDevice() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
            return false;
        }
        m_slavePath = ptsname(m_master);
        termios2 settings{};
        if (tarvik::serial::GetDeviceTermios(m_master, settings) == 0) {
            tarvik::serial::ApplyRawMode(settings);
            tarvik::serial::SetDeviceTermios(m_master, settings);
        }
        fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
        // Held open so that the master sees no hang-up while the other side is between a
        // close and its next open; raw, so that the line discipline passes every byte.
        m_slaveKeep = open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_slaveKeep >= 0 && tarvik::serial::GetDeviceTermios(m_slaveKeep, settings) == 0) {
            tarvik::serial::ApplyRawMode(settings);
            tarvik::serial::SetDeviceTermios(m_slaveKeep, settings);
        }
        // Replaced in one step: the other side never finds the name missing.
        const std::string temporary = m_link + ".new";
        unlink(temporary.c_str());
        if (symlink(m_slavePath.c_str(), temporary.c_str()) != 0 ||
            rename(temporary.c_str(), m_link.c_str()) != 0) {
            std::perror(m_link.c_str());
            return false;
        }
        m_pending.clear();
        m_inCommand = false;
        return true;
    }

    const std::string& SlavePath() const { return m_slavePath; }

    // Serves for up to kPollPeriodMs.
    void ServeOnce() {
        pollfd fds{m_master, POLLIN, 0};
        if (poll(&fds, 1, kPollPeriodMs) <= 0 || (fds.revents & POLLIN) == 0) {
            return;
        }
        uint8_t buffer[4096];
        const ssize_t n = read(m_master, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        std::vector<uint8_t> echo;
        for (ssize_t i = 0; i < n; ++i) {
            const uint8_t byte = buffer[i];
            if (m_inCommand) {
                if (byte == kCommandEnd) {
                    m_inCommand = false;
                    Send(echo);
                    echo.clear();
                    Run(m_pending);
                    m_pending.clear();
                } else if (m_pending.size() < kMaxCommand) {
                    m_pending.push_back(static_cast<char>(byte));
                }
            } else if (byte == kCommandStart) {
                m_inCommand = true;
            } else {
                echo.push_back(byte);
            }
        }
        Send(echo);
    }

private:
    void Send(const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        while (done < bytes.size() && m_master >= 0) {
            const ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd fds{m_master, POLLOUT, 0};
                poll(&fds, 1, kPollPeriodMs);
            } else {
                return;
            }
        }
    }

    void Run(const std::string& command) {
        if (command.empty()) {
            return;
        }
        unsigned a = 0, b = 0, c = 0;
        switch (command[0]) {
            case 'S':
                if (std::sscanf(command.c_str() + 1, "%u,%u,%u", &a, &b, &c) == 3) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(a));
                    std::vector<uint8_t> bytes;
                    for (unsigned i = 0; i < b; ++i) {
                        bytes.push_back(static_cast<uint8_t>('a' + i % 26));
                    }
                    if (c == 0) {
                        Send(bytes);
                    } else {
                        for (uint8_t byte : bytes) {
                            Send({byte});
                            std::this_thread::sleep_for(std::chrono::milliseconds(c));
                        }
                    }
                }
                break;
            case 'L': {
                termios2 settings{};
                if (tarvik::serial::GetDeviceTermios(m_master, settings) == 0) {
                    const auto line = tarvik::serial::ReadLineSettings(settings);
                    const std::string answer = "L" + std::to_string(line.baudRate) + "," +
                                               std::to_string(line.dataBits) + "," +
                                               std::to_string(line.parity) + "," +
                                               std::to_string(line.stopBits) + "\n";
                    Send(std::vector<uint8_t>(answer.begin(), answer.end()));
                }
                break;
            }
            case 'H':
                if (std::sscanf(command.c_str() + 1, "%u", &a) == 1) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(a));
                    CloseDevice();
                    std::this_thread::sleep_for(kRelinkPause);
                    if (!OpenDevice()) {
                        std::fprintf(stderr, "tarvik-pty-peer: no fresh device after a hang-up\n");
                    }
                }
                break;
            default:
                break;
        }
    }

    void CloseDevice() {
        if (m_slaveKeep >= 0) {
            close(m_slaveKeep);
            m_slaveKeep = -1;
        }
        if (m_master >= 0) {
            close(m_master);
            m_master = -1;
        }
    }

    std::string m_link;
    std::string m_slavePath;
    int m_master = -1;
    int m_slaveKeep = -1;
    bool m_inCommand = false;
    std::string m_pending;
};

}  // namespace

int main(int argc, char** argv) {
    std::string link;
    std::vector<char*> command;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--link" && i + 1 < argc) {
            link = argv[++i];
        } else if (arg == "--") {
            command.assign(argv + i + 1, argv + argc);
            break;
        } else {
            link.clear();
            break;
        }
    }
    if (link.empty()) {
        std::fprintf(stderr, "usage: tarvik-pty-peer --link PATH [-- COMMAND ARGS...]\n");
        return kExitUsage;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    Peer peer(link);
    if (!peer.OpenDevice()) {
        std::fprintf(stderr, "tarvik-pty-peer: cannot open a pseudo-terminal as %s\n",
                     link.c_str());
        return kExitFailure;
    }
    std::printf("%s\n", peer.SlavePath().c_str());
    std::fflush(stdout);

    pid_t child = -1;
    if (!command.empty()) {
        command.push_back(nullptr);
        child = fork();
        if (child == 0) {
            execvp(command[0], command.data());
            std::perror(command[0]);
            _exit(127);
        }
        if (child < 0) {
            std::perror("fork");
            return kExitFailure;
        }
    }
    while (g_stop == 0) {
        peer.ServeOnce();
        if (child > 0) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) == child) {
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
    }
    if (child > 0) {
        kill(child, SIGTERM);
        int status = 0;
        waitpid(child, &status, 0);
    }
    return kExitFailure;
}
