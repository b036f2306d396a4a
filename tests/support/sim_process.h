// Runs tarvik-sim as a child process for integration tests.
//
// tarvik-sim prints the path of its pseudo-terminal slave on its first line of standard
// output and, when it ends, a one-line JSON summary as its last line.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tarvik::testing {

// The path of the tarvik-sim executable the build made (TARVIK_SIM_PATH at compile time,
// overridable with the environment variable of the same name).
std::string SimExecutable();

class SimProcess {
public:
    // Starts tarvik-sim with `args` and waits (up to 10 s) for the slave path.
    explicit SimProcess(const std::vector<std::string>& args);
    ~SimProcess();  // SIGTERM and reap, if still running
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& slavePath() const { return m_slavePath; }
    int pid() const { return m_pid; }

    // Waits for the simulator to end by itself (as with --once); returns its exit status,
    // or nothing if it is still running after `timeout`.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    // Asks it to end (SIGTERM), waits, and returns its exit status.
    int stop();
    // Everything it printed after the slave path (the JSON summary is the last line).
    std::string output();
    // The last line of the output: the JSON summary, once it has ended.
    std::string summary();

private:
    void drain(int timeoutMs);

    int m_pid = -1;
    int m_out = -1;
    std::string m_slavePath;
    std::string m_buffer;
    std::optional<int> m_status;
};

}  // namespace tarvik::testing
