#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tarvik::testing {

namespace {
constexpr int kPumpSliceMs = 50;
constexpr int kNotEnded = -1000;
constexpr auto kReapTimeout = std::chrono::seconds(10);

std::vector<std::string> ChildEnvironment(const ChildOptions& options) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('='));
        bool drop = false;
        for (const auto& name : options.unsetEnv) {
            drop = drop || key == name;
        }
        for (const auto& [name, value] : options.setEnv) {
            drop = drop || key == name;
        }
        if (!drop) {
            env.push_back(entry);
        }
    }
    for (const auto& [name, value] : options.setEnv) {
        env.push_back(name + "=" + value);
    }
    return env;
}

// Reads what is there without blocking; false once the descriptor has reached its end.
bool ReadInto(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            return true;
        }
        return false;  // end of file, or EIO on a pseudo-terminal whose slave closed
    }
}

}  // namespace

std::string CliExecutable() {
    if (const char* env = std::getenv("TARVIK_CLI_PATH")) {
        return env;
    }
    return TARVIK_CLI_PATH;
}

ChildProcess::ChildProcess(const std::string& executable, const std::vector<std::string>& args,
                           const ChildOptions& options) {
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    std::string slavePath;
    if (options.stdoutTerminal) {
        outPipe[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (outPipe[0] < 0 || grantpt(outPipe[0]) != 0 || unlockpt(outPipe[0]) != 0) {
            throw std::runtime_error("cannot open a pseudo-terminal for the output");
        }
        slavePath = ptsname(outPipe[0]);
    } else if (pipe2(outPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> argStrings = {executable};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = ChildEnvironment(options);
    std::vector<char*> envp;
    for (auto& e : envStrings) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    m_pid = fork();
    if (m_pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (m_pid == 0) {
        // Its own process group, so that a signal meant for it does not reach the tests.
        setpgid(0, 0);
        int out = outPipe[1];
        if (options.stdoutTerminal) {
            out = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
        }
        dup2(out, STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        const int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        execve(executable.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (outPipe[1] >= 0) {
        close(outPipe[1]);
    }
    close(errPipe[1]);
    m_outFd = outPipe[0];
    m_errFd = errPipe[0];
    fcntl(m_outFd, F_SETFL, fcntl(m_outFd, F_GETFL) | O_NONBLOCK);
    fcntl(m_errFd, F_SETFL, fcntl(m_errFd, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    if (!m_status && m_pid > 0) {
        kill(m_pid, SIGKILL);
        wait(kReapTimeout);
    }
    if (m_outFd >= 0) {
        close(m_outFd);
    }
    if (m_errFd >= 0) {
        close(m_errFd);
    }
}

void ChildProcess::pump(int timeoutMs) {
    pollfd fds[2];
    nfds_t count = 0;
    if (m_outFd >= 0) {
        fds[count++] = {m_outFd, POLLIN, 0};
    }
    if (m_errFd >= 0) {
        fds[count++] = {m_errFd, POLLIN, 0};
    }
    if (count == 0) {
        return;
    }
    if (poll(fds, count, timeoutMs) <= 0) {
        return;
    }
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        int& fd = fds[i].fd == m_outFd ? m_outFd : m_errFd;
        std::string& into = fds[i].fd == m_outFd ? m_out : m_err;
        if (!ReadInto(fd, into)) {
            close(fd);
            fd = -1;
        }
    }
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_out.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline || m_status) {
            return m_out.find(text) != std::string::npos;
        }
        pump(kPumpSliceMs);
        if (m_outFd < 0 && m_errFd < 0) {
            wait(std::chrono::milliseconds(0));
            if (m_status) {
                return m_out.find(text) != std::string::npos;
            }
        }
    }
    return true;
}

void ChildProcess::sendSignal(int signal) {
    if (!m_status && m_pid > 0) {
        kill(m_pid, signal);
    }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!m_status) {
        int status = 0;
        const pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        pump(kPumpSliceMs);
    }
    // Whatever is still in the pipes (a pseudo-terminal reports its end with EIO).
    while (m_outFd >= 0 || m_errFd >= 0) {
        const bool outOpen = m_outFd >= 0;
        const bool errOpen = m_errFd >= 0;
        pump(kPumpSliceMs);
        if (outOpen == (m_outFd >= 0) && errOpen == (m_errFd >= 0)) {
            // Nothing more came within a slice: a grandchild may hold the pipe; stop here.
            pollfd probe[2] = {{m_outFd, POLLIN, 0}, {m_errFd, POLLIN, 0}};
            if (poll(probe, 2, 0) <= 0) {
                break;
            }
        }
    }
    return m_status;
}

ChildResult RunChild(const std::string& executable, const std::vector<std::string>& args,
                     const ChildOptions& options) {
    const auto start = std::chrono::steady_clock::now();
    ChildProcess child(executable, args, options);
    ChildResult result;
    result.exitCode = child.wait(kChildTimeout).value_or(kNotEnded);
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    result.out = child.out();
    result.err = child.err();
    return result;
}

ChildResult RunCli(const std::vector<std::string>& args, const ChildOptions& options) {
    return RunChild(CliExecutable(), args, options);
}

}  // namespace tarvik::testing
