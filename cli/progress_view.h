// What tarvik-cli shows while boards are upgraded: one progress line per port, redrawn in
// place on a terminal, or plain lines without control characters when standard output is
// a file or a pipe; the outcome line of each port and, for several ports, a summary table.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "station/judge.h"
#include "upgrade/engine.h"

namespace tarvik::cli {

// The outcome of a port whose search found no board.
inline constexpr char kNoBoardFound[] = "未找到设备";

// A snapshot of one port, taken on the loop's thread.
struct PortStatus {
    std::string name;    // as given on the command line
    std::string device;  // where it leads
    Verdict verdict = Verdict::Running;
    UpgradePhase phase = UpgradePhase::Idle;
    std::string info;    // the window's info line (the search text before the first tick)
    std::string status;  // the window's status line
    bool deviceFound = false;
    uint32_t blocks = 0;       // blocks sent
    uint32_t totalBlocks = 0;  // 0 until block 0 is sent
    std::chrono::milliseconds elapsed{0};
    std::optional<double> bytesPerSecond;                 // once blocks flow
    std::optional<std::chrono::milliseconds> stalledFor;  // a failure shown, no timer
    std::chrono::milliseconds stallLimit{0};              // when a stalled upgrade ends
    std::string result;  // when ended: the window's text ("升级成功", "升级失败(0x1b)", ...)
    std::string detail;         // when ended: what else there is to know, may be empty
    std::string counters;       // a station's boards so far, shown after the name; may be empty
    std::string shortCounters;  // the same in fewer columns, for a narrow terminal
};

class CProgressView {
public:
    // `live`: redraw in place (standard output is a terminal); `columns`: its width.
    CProgressView(std::FILE* out, bool live, bool quiet, size_t columns);

    // Shows the news: live, redraws every line; plain, prints what changed since the last
    // call (phase changes, every tenth of the transfer, the outcome of a port that ended).
    void Update(const std::vector<PortStatus>& ports);
    // The last redraw and, for several ports, the summary table.
    void Finish(const std::vector<PortStatus>& ports);
    // A line of its own (a station's board outcome), above the redrawn lines on a terminal.
    // With --quiet only `important` lines are printed.
    void Print(const std::string& line, bool important);

    // The lines, as they are printed (exposed for the redraw and the plain output alike).
    static std::string ProgressLine(const PortStatus& port);
    // The progress line in at most `columns` terminal columns. What gives way first are the
    // counters (their short form, then all of them) and the search's growing dots; the instruction
    // to the operator stays whole, and only what follows it is cut.
    static std::string FittedProgressLine(const PortStatus& port, size_t columns);
    static std::string OutcomeLine(const PortStatus& port);
    static std::string SummaryTable(const std::vector<PortStatus>& ports);

private:
    enum class Stage { None, Search, FastResend, Transfer, Stalled, Ended };
    struct Shown {
        Stage stage = Stage::None;
        int tenth = -1;
    };
    static Stage StageOf(const PortStatus& port);
    void Redraw(const std::vector<PortStatus>& ports);
    void PrintNews(const std::vector<PortStatus>& ports);

    std::FILE* m_out;
    bool m_live;
    bool m_quiet;
    size_t m_columns;
    size_t m_drawnLines = 0;
    std::vector<Shown> m_shown;
};

}  // namespace tarvik::cli
