#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tarvik::bench {

namespace {

constexpr std::chrono::milliseconds kReapPoll{5};

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

}  // namespace

Child::Child(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::pair<std::string, std::string>>& env, bool quietErrors,
             const Place& place) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& [name, value] : env) {
            replaced = replaced || entry.rfind(name + "=", 0) == 0;
        }
        if (!replaced) {
            envStrings.push_back(entry);
        }
    }
    for (const auto& [name, value] : env) {
        envStrings.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& e : envStrings) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (place.terminal.empty()) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, place.terminal.c_str(),
                                         O_RDWR | O_NOCTTY, 0);
        posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDOUT_FILENO);
    }
    if (!place.folder.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, place.folder.c_str());
    }
    if (quietErrors) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    m_started = Clock::now();
    const int error =
        posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (error != 0) {
        close(fds[0]);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(error));
    }
    m_outFd = fds[0];
    m_pidFd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
}

Child::~Child() {
    if (!m_reaped && m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_outFd >= 0) {
        close(m_outFd);
    }
    if (m_pidFd >= 0) {
        close(m_pidFd);
    }
}

void Child::Pump(int timeoutMs) {
    if (m_outFd < 0) {
        return;
    }
    pollfd p{m_outFd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) {
        return;
    }
    char buffer[4096];
    const ssize_t n = read(m_outFd, buffer, sizeof buffer);
    if (n > 0) {
        m_out.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
        close(m_outFd);
        m_outFd = -1;
    }
}

std::optional<std::string> Child::ReadLine(std::chrono::milliseconds bound) {
    const Clock::time_point deadline = Clock::now() + bound;
    for (;;) {
        const size_t newline = m_out.find('\n');
        if (newline != std::string::npos) {
            std::string line = m_out.substr(0, newline);
            m_out.erase(0, newline + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || m_outFd < 0) {
            return std::nullopt;
        }
        Pump(static_cast<int>(left.count()));
    }
}

void Child::Signal(int signal) {
    if (!m_reaped) {
        kill(m_pid, signal);
    }
}

std::optional<Usage> Child::Wait(std::chrono::milliseconds bound) {
    const Clock::time_point deadline = Clock::now() + bound;
    for (;;) {
        int status = 0;
        rusage usage{};
        const pid_t r = wait4(m_pid, &status, WNOHANG, &usage);
        if (r == m_pid) {
            const Clock::time_point reaped = Clock::now();
            m_reaped = true;
            while (m_outFd >= 0) {
                Pump(-1);
            }
            Usage u;
            u.wall = reaped - m_started;
            u.cpu =
                std::chrono::duration<double>(Seconds(usage.ru_utime) + Seconds(usage.ru_stime));
            u.peakKiB = usage.ru_maxrss;
            u.voluntarySwitches = usage.ru_nvcsw;
            u.involuntarySwitches = usage.ru_nivcsw;
            u.ended = reaped;
            if (WIFEXITED(status)) {
                u.exitCode = WEXITSTATUS(status);
            } else if (WIFSIGNALED(status)) {
                u.signal = WTERMSIG(status);
            }
            return u;
        }
        if (Clock::now() >= deadline) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_reaped = true;
            return std::nullopt;
        }
        // Keep the pipe drained so a chatty child never blocks on it; where the system
        // tells the end itself, it is seen at once rather than at the next look.
        if (m_pidFd >= 0) {
            pollfd fds[2] = {{m_pidFd, POLLIN, 0}, {m_outFd, POLLIN, 0}};
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()) +
                kReapPoll;
            if (poll(fds, m_outFd >= 0 ? 2 : 1, static_cast<int>(left.count())) > 0 &&
                (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
                Pump(0);
            }
            continue;
        }
        Pump(static_cast<int>(kReapPoll.count()));
    }
}

}  // namespace tarvik::bench
