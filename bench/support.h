// What the benchmark sections share: the run's options, the report they write their tables
// into, the images and boards they run against (tarvik-sim on its own pseudo-terminal, the
// paced line of line_relay.h), and the figures taken from what the line saw.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "child.h"
#include "line_relay.h"

namespace tarvik::bench {

using Ms = std::chrono::milliseconds;
using Seconds = std::chrono::duration<double>;
using Bytes = std::vector<uint8_t>;

inline constexpr Ms kStartBound{10000};
inline constexpr Ms kUpgradeBound{1800000};  // the slowest case, 1 MiB paced, takes about 2 min
inline constexpr Ms kStopBound{30000};
inline constexpr uint32_t kSmallImage = 64 * 1024;
inline constexpr int kMostBoards = 16;
// Many boards, on pseudo-terminals or on draining lines: the slowest of the most boards over
// one board alone.
inline constexpr double kTargetManyBoards = 1.05;

struct Options {
    std::string sim, cli, gui, soak, out;
    int soakRuns = 0;
    bool quick = false;
    std::string only;  // comma-separated sections to run; empty: all

    bool Runs(const std::string& section) const;
};

// A fresh folder under the system's temporary folder, removed with its contents.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// What a section writes to and works with: the run's options, this program's own path (for
// the helpers it runs in processes of their own), a folder for its files, and the report so
// far.
struct Report {
    const Options& options;
    const std::string& self;
    const TempFolder& folder;
    std::ostringstream text;

    // Writes the report so far to --out: a run stopped halfway keeps what it has measured.
    void Flush() const;
};

// The report's first paragraph: the machine, the build, the load at the start.
void WriteMachine(Report& report);

std::string Format(const char* format, double value);
std::string Verdict(bool met);
// A Markdown table's header (with its rule) and one of its rows.
std::string Header(const std::vector<std::string>& columns);
std::string Row(const std::vector<std::string>& cells);
std::string LoadAverage();

double Mib(uint32_t bytes);
double CpuSeconds(const rusage& r);  // user + system

// A firmware image of `length` bytes the tool accepts, the same on every run.
Bytes MakeImage(uint32_t length);
void WriteFile(const std::string& path, const Bytes& bytes);
// Whether a board's received file at `path` holds `image` and the fill of its last block.
bool BoardHolds(const std::string& path, const Bytes& image);

// The one line of JSON a helper of this program prints (`tarvik-bench idle`, `profile`,
// `draining`, ...); an empty object when it printed none, or none that parses.
nlohmann::json ReadResult(Child& helper, Ms bound);

// A tarvik-sim on its own pseudo-terminal.
class Sim {
public:
    Sim(const std::string& program, std::vector<std::string> args);
    const std::string& Path() const { return m_path; }
    // Ends it; its closing figures (its last line of JSON).
    nlohmann::json Stop();

private:
    std::unique_ptr<Child> m_child;
    std::string m_path;
};

// The paced line of line_relay.h, run as `tarvik-bench line` in a process of its own.
class Line {
public:
    explicit Line(const std::string& self);
    const std::string& A() const { return m_a; }
    const std::string& B() const { return m_b; }
    // Ends it; what it saw.
    LineRecord Stop();

private:
    Child m_child;
    std::string m_a, m_b;
};

// What the relay saw of a run.
struct LineFigures {
    size_t answered = 0;  // exchanges that got an answer
    double turnMedianMs = 0;
    double turnP99Ms = 0;
    double blockMs = 0;  // median time of one block exchange (its start to the next start)
};

// `blockFrame`: the bytes of the sender's block frame on the line (0: no per-block figure).
LineFigures Figures(const LineRecord& line, uint64_t blockFrame);

}  // namespace tarvik::bench
