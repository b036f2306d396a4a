// Runs tarvik-cli (or ./run) as a child process and collects what it prints.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarvik::testing {

// Bounds for waiting on children: generous, the machine is shared and loaded.
inline constexpr std::chrono::seconds kChildTimeout{180};

// The tarvik-cli executable of this build.
std::string CliExecutable();

struct ChildOptions {
    std::vector<std::pair<std::string, std::string>> setEnv;  // added or replaced
    std::vector<std::string> unsetEnv;
    bool stdoutTerminal = false;  // standard output on a pseudo-terminal instead of a pipe
};

class ChildProcess {
public:
    ChildProcess(const std::string& executable, const std::vector<std::string>& args,
                 const ChildOptions& options = {});
    ~ChildProcess();  // SIGKILL and reap, if still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits until standard output contains `text`; false if it has not come in time or the
    // child ended without printing it.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    void sendSignal(int signal);
    // The exit code, or minus the signal that ended it; nothing if still running.
    std::optional<int> wait(std::chrono::milliseconds timeout);

    const std::string& out() const { return m_out; }
    const std::string& err() const { return m_err; }

private:
    void pump(int timeoutMs);

    int m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    std::string m_out;
    std::string m_err;
    std::optional<int> m_status;
};

struct ChildResult {
    int exitCode = -1;  // minus the signal if it was killed; -1000 if it did not end in time
    std::string out;
    std::string err;
    std::chrono::milliseconds elapsed{0};
};

ChildResult RunChild(const std::string& executable, const std::vector<std::string>& args,
                     const ChildOptions& options = {});
ChildResult RunCli(const std::vector<std::string>& args, const ChildOptions& options = {});

}  // namespace tarvik::testing
