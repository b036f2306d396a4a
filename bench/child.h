// Child processes for the benchmarks: started with posix_spawn, their standard output read
// as it comes, and reaped with the resources they used (wall time, CPU time, peak memory).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarvik::bench {

using Clock = std::chrono::steady_clock;

struct Usage {
    std::chrono::duration<double> wall{0};
    std::chrono::duration<double> cpu{0};  // user + system
    long peakKiB = 0;                      // peak resident memory
    long voluntarySwitches = 0;            // it waited (every thread, summed)
    long involuntarySwitches = 0;          // the scheduler took the processor from it
    Clock::time_point ended;               // when it was reaped
    int exitCode = -1;                     // -1 when a signal ended it
    int signal = 0;
};

class Child {
public:
    // Where the child's standard input and output go, and where it runs.
    struct Place {
        std::string terminal;  // both on this device (a program that talks over its tty)
        std::string folder;    // its working folder
    };

    // Starts `program` with `args`; `env` entries are added to (or replace) the environment.
    // Standard output goes to a pipe read by Output() unless `place` names a terminal;
    // standard error is inherited unless `quietErrors`, then it goes to /dev/null.
    Child(const std::string& program, const std::vector<std::string>& args,
          const std::vector<std::pair<std::string, std::string>>& env = {}, bool quietErrors = true,
          const Place& place = {});
    ~Child();  // SIGKILL and reap if still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Reads until a whole line has come (or `bound` passes); returns it without its newline.
    std::optional<std::string> ReadLine(std::chrono::milliseconds bound);
    void Signal(int signal);
    // Waits for the end; what it used from its start. Nothing if it is still running after
    // `bound` (it is then killed).
    std::optional<Usage> Wait(std::chrono::milliseconds bound);
    // Everything it printed on standard output (after the lines already read).
    const std::string& Output() const { return m_out; }
    pid_t Pid() const { return m_pid; }

private:
    void Pump(int timeoutMs);

    pid_t m_pid = -1;
    int m_pidFd = -1;  // readable once it has ended; -1 where the system has none
    int m_outFd = -1;
    Clock::time_point m_started;
    std::string m_out;
    bool m_reaped = false;
};

}  // namespace tarvik::bench
