#include "sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace tarvik::testing {

namespace {
constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(10);
constexpr auto kReapPoll = std::chrono::milliseconds(10);
}  // namespace

std::string SimExecutable() {
    if (const char* env = std::getenv("TARVIK_SIM_PATH")) {
        return env;
    }
#ifdef TARVIK_SIM_PATH
    return TARVIK_SIM_PATH;
#else
    return "tarvik-sim";
#endif
}

SimProcess::SimProcess(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::string exe = SimExecutable();
    std::vector<char*> argv;
    argv.push_back(exe.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    m_pid = fork();
    if (m_pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (m_pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    m_out = fds[0];
    auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (m_buffer.find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        drain(100);
        if (waitExit(std::chrono::milliseconds(0))) {
            break;
        }
    }
    auto nl = m_buffer.find('\n');
    if (nl == std::string::npos) {
        throw std::runtime_error("tarvik-sim did not print its slave path: " + m_buffer);
    }
    m_slavePath = m_buffer.substr(0, nl);
    m_buffer.erase(0, nl + 1);
}

SimProcess::~SimProcess() {
    if (!m_status && m_pid > 0) {
        stop();
    }
    if (m_out >= 0) {
        close(m_out);
    }
}

void SimProcess::drain(int timeoutMs) {
    if (m_out < 0) {
        return;
    }
    pollfd p{m_out, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) {
        return;
    }
    char buf[4096];
    for (;;) {
        ssize_t n = read(m_out, buf, sizeof buf);
        if (n > 0) {
            m_buffer.append(buf, static_cast<size_t>(n));
            pollfd q{m_out, POLLIN, 0};
            if (poll(&q, 1, 0) <= 0) {
                return;
            }
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            close(m_out);
            m_out = -1;
            return;
        }
    }
}

std::optional<int> SimProcess::waitExit(std::chrono::milliseconds timeout) {
    if (m_status) {
        return m_status;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        drain(0);
        int status = 0;
        pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            while (m_out >= 0) {
                drain(100);
            }
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_status;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        drain(static_cast<int>(kReapPoll.count()));
    }
}

int SimProcess::stop() {
    if (m_status) {
        return *m_status;
    }
    kill(m_pid, SIGTERM);
    if (auto s = waitExit(std::chrono::duration_cast<std::chrono::milliseconds>(kStopTimeout))) {
        return *s;
    }
    kill(m_pid, SIGKILL);
    return waitExit(std::chrono::duration_cast<std::chrono::milliseconds>(kStopTimeout))
        .value_or(-1);
}

std::string SimProcess::output() {
    drain(0);
    return m_buffer;
}

std::string SimProcess::summary() {
    std::string out = output();
    while (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    auto nl = out.rfind('\n');
    return nl == std::string::npos ? out : out.substr(nl + 1);
}

}  // namespace tarvik::testing
