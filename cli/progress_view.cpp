#include "cli/progress_view.h"

#include <algorithm>

#include "cli/text_format.h"
#include "upgrade/frames.h"
#include "upgrade/texts.h"

namespace tarvik::cli {

namespace {

constexpr int kPercent = 100;
constexpr int kTenths = 10;
constexpr const char kGap[] = "  ";
// The search text's dots, of which a narrow line keeps this many.
constexpr char kSearchDot = '.';
constexpr size_t kDotsKept = 2;
// ANSI sequences of the in-place redraw.
constexpr const char kCursorUpFormat[] = "\x1b[%zuA";
constexpr const char kClearLine[] = "\r\x1b[2K";
constexpr const char kClearToEnd[] = "\r\x1b[J";

std::string NameColumn(const PortStatus& port) {
    return port.name + kGap + (port.counters.empty() ? "" : port.counters + kGap);
}

std::string Blocks(const PortStatus& port) {
    return std::to_string(port.blocks) + "/" + std::to_string(port.totalBlocks);
}

std::string TransferFigures(const PortStatus& port) {
    std::string text = Blocks(port);
    if (port.totalBlocks > 0) {
        const auto percent =
            static_cast<unsigned>(static_cast<uint64_t>(port.blocks) * kPercent / port.totalBlocks);
        text += std::string(kGap) + std::to_string(percent) + "%";
    }
    if (port.bytesPerSecond && *port.bytesPerSecond > 0) {
        text += std::string(kGap) + Rate(*port.bytesPerSecond);
        const uint32_t left = port.totalBlocks > port.blocks ? port.totalBlocks - port.blocks : 0;
        const std::chrono::duration<double> remaining(static_cast<double>(left) * kBlockSize /
                                                      *port.bytesPerSecond);
        text += std::string(kGap) +
                ClockTime(std::chrono::duration_cast<std::chrono::milliseconds>(remaining)) +
                " 剩余";
    }
    return text;
}

const char* VerdictWord(const PortStatus& port) {
    switch (port.verdict) {
        case Verdict::Succeeded:
            return text::kUpgradeSucceeded;
        case Verdict::Failed:
            return text::kUpgradeFailed;
        case Verdict::Stopped:
            return text::kUpgradeStopped;
        case Verdict::NotFound:
            return kNoBoardFound;
        case Verdict::Running:
            break;
    }
    return "进行中";
}

}  // namespace

CProgressView::CProgressView(std::FILE* out, bool live, bool quiet, size_t columns)
    : m_out(out), m_live(live && !quiet), m_quiet(quiet), m_columns(columns) {}

CProgressView::Stage CProgressView::StageOf(const PortStatus& port) {
    if (port.verdict != Verdict::Running) {
        return Stage::Ended;
    }
    if (port.stalledFor && port.phase == UpgradePhase::Stalled) {
        return Stage::Stalled;
    }
    switch (port.phase) {
        case UpgradePhase::Scanning:
            return Stage::Search;
        case UpgradePhase::FastResend:
            return Stage::FastResend;
        case UpgradePhase::Handshake:
        case UpgradePhase::Sending:
        case UpgradePhase::Verifying:
        case UpgradePhase::Finishing:
        case UpgradePhase::Stalled:
            return Stage::Transfer;
        case UpgradePhase::Idle:
            break;
    }
    return Stage::None;
}

std::string CProgressView::ProgressLine(const PortStatus& port) {
    if (port.verdict != Verdict::Running) {
        return OutcomeLine(port);
    }
    std::string line = NameColumn(port);
    if (port.stalledFor && port.phase == UpgradePhase::Stalled) {
        return line + (port.status.empty() ? port.info : port.status) + kGap +
               Seconds(*port.stalledFor) + " 无应答(最多等 " + Seconds(port.stallLimit) + ")";
    }
    line += TrimRight(port.info);
    if (port.deviceFound && port.totalBlocks > 0) {
        line += std::string(kGap) + TransferFigures(port);
    } else if (!port.deviceFound) {
        line += std::string(kGap) + Seconds(port.elapsed);
    }
    return line;
}

std::string CProgressView::FittedProgressLine(const PortStatus& port, size_t columns) {
    std::string line = ProgressLine(port);
    if (DisplayWidth(line) <= columns) {
        return line;
    }
    PortStatus narrow = port;
    if (!narrow.shortCounters.empty()) {
        narrow.counters = narrow.shortCounters;
        line = ProgressLine(narrow);
    }
    if (DisplayWidth(line) > columns && !narrow.counters.empty()) {
        narrow.counters.clear();  // the outcome lines and the closing table still have them
        line = ProgressLine(narrow);
    }
    // The search text grows a dot a step: keep a couple of them.
    const size_t over = DisplayWidth(line) > columns ? DisplayWidth(line) - columns : 0;
    const size_t end = narrow.info.find_last_not_of(kSearchDot);
    const size_t dotsFrom = end == std::string::npos ? 0 : end + 1;
    const size_t dots = narrow.info.size() - dotsFrom;
    if (over > 0 && dots > kDotsKept && dotsFrom < narrow.info.size()) {
        narrow.info.erase(dotsFrom, std::min(over, dots - kDotsKept));
        line = ProgressLine(narrow);
    }
    return FitWidth(line, columns);
}

std::string CProgressView::OutcomeLine(const PortStatus& port) {
    std::string line = NameColumn(port) + port.result;
    if (!port.detail.empty()) {
        line += std::string(kGap) + port.detail;
    }
    return line + kGap + Seconds(port.elapsed);
}

std::string CProgressView::SummaryTable(const std::vector<PortStatus>& ports) {
    std::vector<std::vector<std::string>> rows = {{"串口", "设备", "结果", "块数", "用时"}};
    for (const PortStatus& p : ports) {
        rows.push_back({p.name, p.device, VerdictWord(p),
                        p.totalBlocks > 0 ? Blocks(p) : std::string("-"), Seconds(p.elapsed)});
    }
    return TableText(rows);
}

void CProgressView::Update(const std::vector<PortStatus>& ports) {
    if (m_live) {
        Redraw(ports);
    } else {
        PrintNews(ports);
    }
}

void CProgressView::Finish(const std::vector<PortStatus>& ports) {
    Update(ports);
    if (ports.size() > 1) {
        std::fputs("\n", m_out);
        std::fputs(SummaryTable(ports).c_str(), m_out);
    }
    std::fflush(m_out);
}

void CProgressView::Print(const std::string& line, bool important) {
    if (m_quiet && !important) {
        return;
    }
    std::string text;
    if (m_live && m_drawnLines > 0) {
        // Over the redrawn lines; they come back below at the next redraw.
        char up[32];
        std::snprintf(up, sizeof up, kCursorUpFormat, m_drawnLines);
        text += up;
        text += kClearToEnd;
        m_drawnLines = 0;
    }
    text += line;
    text += "\n";
    std::fputs(text.c_str(), m_out);
    std::fflush(m_out);
}

void CProgressView::Redraw(const std::vector<PortStatus>& ports) {
    std::string frame;
    if (m_drawnLines > 0) {
        char up[32];
        std::snprintf(up, sizeof up, kCursorUpFormat, m_drawnLines);
        frame += up;
    }
    // One column short of the width, so that no line wraps and the cursor count holds.
    const size_t width = m_columns > 1 ? m_columns - 1 : m_columns;
    for (const PortStatus& port : ports) {
        frame += kClearLine;
        frame += FittedProgressLine(port, width);
        frame += "\n";
    }
    m_drawnLines = ports.size();
    std::fputs(frame.c_str(), m_out);
    std::fflush(m_out);
}

void CProgressView::PrintNews(const std::vector<PortStatus>& ports) {
    m_shown.resize(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        const PortStatus& port = ports[i];
        Shown& shown = m_shown[i];
        const Stage stage = StageOf(port);
        if (stage == Stage::Search) {
            shown.tenth = -1;  // a station's next board starts its transfer figures afresh
        }
        if (stage == shown.stage && stage != Stage::Transfer) {
            continue;
        }
        std::string line;
        if (stage == Stage::Ended) {
            line = OutcomeLine(port);
        } else if (m_quiet) {
            // only outcomes
        } else if (stage != shown.stage) {
            switch (stage) {
                case Stage::Search:
                    line = NameColumn(port) + TrimRight(port.info);
                    break;
                case Stage::FastResend:
                    line = NameColumn(port) + TrimRight(text::kNotFoundPowerUp);
                    break;
                case Stage::Transfer:
                    line = NameColumn(port) + TrimRight(port.info);
                    break;
                case Stage::Stalled:
                    line = NameColumn(port) + (port.status.empty() ? port.info : port.status) +
                           kGap + "等待应答,最多 " + Seconds(port.stallLimit);
                    break;
                case Stage::None:
                case Stage::Ended:
                    break;
            }
        }
        shown.stage = stage;
        if (stage == Stage::Transfer && !m_quiet && port.totalBlocks > 0) {
            const int tenth =
                static_cast<int>(static_cast<uint64_t>(port.blocks) * kTenths / port.totalBlocks);
            if (tenth > shown.tenth) {
                shown.tenth = tenth;
                if (!line.empty()) {
                    line += "\n";
                }
                line += NameColumn(port) + TransferFigures(port);
            }
        }
        if (!line.empty()) {
            std::fputs((line + "\n").c_str(), m_out);
        }
    }
    std::fflush(m_out);
}

}  // namespace tarvik::cli
