// `tarvik-cli upgrade --repeat`: a production station on a terminal. The station itself
// (station/station.h) decides; this shows its progress lines, each board's outcome and the
// operator's instructions, rings the bells, turns Ctrl-C into a stop and ends with the
// closing table and the exit code.
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/console.h"
#include "cli/progress_view.h"
#include "cli/signal_watch.h"
#include "cli/text_format.h"
#include "cli/upgrade_judge.h"
#include "cli/upgrade_run.h"
#include "station/station.h"

namespace tarvik::cli {

namespace {

using Clock = CEventLoop::Clock;

// The bells of a failure, apart enough for a terminal to ring each.
constexpr std::chrono::milliseconds kBellGap{250};
constexpr char kBell[] = "\a";

std::string Counters(const StationCounters& c) {
    return "[共" + std::to_string(c.boards) + "块 成功" + std::to_string(c.succeeded) + " 失败" +
           std::to_string(c.failed) + "]";
}

// The counters where a line is too narrow for the words: boards/succeeded/failed.
std::string ShortCounters(const StationCounters& c) {
    return "[" + std::to_string(c.boards) + "/" + std::to_string(c.succeeded) + "/" +
           std::to_string(c.failed) + "]";
}

// "第12块": board 12 of a port.
std::string BoardText(uint32_t board) {
    return "第" + std::to_string(board) + "块";
}

StationOptions StationOptionsFor(const UpgradeOptions& options) {
    StationOptions out;
    out.ports = options.ports;
    out.image = options.image;
    out.log = options.log;
    out.selections = SelectionsFor(options);
    out.baud = options.baud;
    out.count = options.count;
    out.stopOnFail = options.stopOnFail;
    out.stallTimeout = options.stallTimeout;
    out.bell = options.bell;
    return out;
}

class CStationView {
public:
    explicit CStationView(const UpgradeOptions& options) : m_options(options) {}
    int Run();

private:
    StationEvents Events();
    std::vector<PortStatus> Lines(const StationSnapshot& snapshot) const;
    void RingBells(Clock::time_point now, bool all);
    std::string ClosingTable(const StationSnapshot& snapshot) const;
    bool ReportStartError(const StationStartError& error) const;

    const UpgradeOptions& m_options;
    std::vector<std::string> m_devices;  // where each port leads
    Clock::time_point m_programStart = Clock::now();
    std::unique_ptr<CProgressView> m_view;
    bool m_live = false;
    int m_bellsDue = 0;
    // The terminal the bells ring on: the one the lines are shown on, else standard error
    // when that is one; none when both go to files or pipes, which keep plain lines.
    std::FILE* m_bellOut = nullptr;
    Clock::time_point m_nextBell{};
    CStation* m_station = nullptr;
};

StationEvents CStationView::Events() {
    StationEvents events;
    events.onBoardEnd = [this](const StationBoardEnd& end) {
        std::string shown = end.result;
        if (!end.detail.empty()) {
            shown += "  " + end.detail;
        }
        m_view->Print(end.name + "  " + BoardText(end.board) + ": " + shown + "  " +
                          Seconds(end.elapsed) + "  " + Counters(end.counters),
                      true);
    };
    events.onPrompt = [this](size_t port, const std::string& words) {
        m_view->Print(m_options.ports[port] + "  " + words, false);
    };
    events.onLogFailed = [](const std::string& error) {
        std::fprintf(stderr, "tarvik-cli: %s; no further board is taken\n", error.c_str());
    };
    events.onRateFixed = [this](size_t port) {
        const std::string device = port < m_devices.size() ? m_devices[port] : "";
        std::fprintf(stderr, "tarvik-cli: %s\n",
                     RateFixedNote(m_options.ports[port], device).c_str());
    };
    events.onSearchFailed = [this](size_t port, const std::string& text) {
        std::fprintf(stderr, "tarvik-cli: %s: %s: %s\n", m_options.ports[port].c_str(),
                     m_options.image.c_str(), text.c_str());
    };
    events.onChange = [this](const StationSnapshot& snapshot) {
        if (m_station != nullptr && m_options.bell) {
            m_bellsDue += m_station->TakeBellsDue();
        }
        RingBells(Clock::now(), false);
        if (!m_live) {
            m_view->Update(Lines(snapshot));
        }
    };
    events.onPeriod = [this](const StationSnapshot& snapshot) {
        if (m_station != nullptr && m_options.bell) {
            m_bellsDue += m_station->TakeBellsDue();
        }
        RingBells(Clock::now(), false);
        if (m_live) {
            m_view->Update(Lines(snapshot));
        }
    };
    if (m_options.trace) {
        events.onTrace = [this](const std::string& port, TraceDirection direction,
                                const uint8_t* bytes, size_t length) {
            const std::string line =
                TraceLine(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                                m_programStart),
                          port, direction, bytes, length);
            std::fprintf(stderr, "%s\n", line.c_str());
            std::fflush(stderr);
        };
    }
    return events;
}

std::vector<PortStatus> CStationView::Lines(const StationSnapshot& snapshot) const {
    std::vector<PortStatus> out;
    for (size_t i = 0; i < snapshot.ports.size(); ++i) {
        const StationPortSnapshot& port = snapshot.ports[i];
        PortStatus s;
        s.name = port.name;
        s.device = i < m_devices.size() ? m_devices[i] : "";
        s.counters = Counters(port.counters);
        s.shortCounters = ShortCounters(port.counters);
        s.stallLimit = port.stallLimit;
        s.elapsed = port.elapsed;
        switch (port.state) {
            case StationState::PlaceBoard:
            case StationState::Searching:
            case StationState::Upgrading:
                s.phase = port.phase;
                s.info = port.info;
                if (port.state == StationState::PlaceBoard) {
                    s.info =
                        std::string(port.board > 1 ? kStationPlaceNextBoard : kStationPlaceBoard) +
                        "  " + s.info;
                }
                s.status = port.status;
                s.deviceFound = port.deviceFound;
                s.blocks = port.blocks;
                s.totalBlocks = port.totalBlocks;
                s.bytesPerSecond = port.bytesPerSecond;
                s.stalledFor = port.stalledFor;
                break;
            case StationState::RemoveBoard:
                s.info = kStationRemoveBoard;
                break;
            case StationState::DevicePulled:
                s.info = kStationDeviceGone;
                break;
            case StationState::Done:
                s.info = kStationDone;
                s.deviceFound = true;  // no search time on the line
                break;
        }
        out.push_back(std::move(s));
    }
    return out;
}

void CStationView::RingBells(Clock::time_point now, bool all) {
    if (m_bellOut == nullptr) {
        m_bellsDue = 0;
        return;
    }
    while (m_bellsDue > 0 && (all || now >= m_nextBell)) {
        if (all && now < m_nextBell) {
            std::this_thread::sleep_until(m_nextBell);
            now = m_nextBell;
        }
        if (m_bellOut != nullptr) {
            std::fputs(kBell, m_bellOut);
            std::fflush(m_bellOut);
        }
        --m_bellsDue;
        m_nextBell = now + kBellGap;
    }
}

std::string CStationView::ClosingTable(const StationSnapshot& snapshot) const {
    std::vector<std::vector<std::string>> rows = {
        {"串口", "设备", "板数", "成功", "失败", "平均用时"}};
    for (size_t i = 0; i < snapshot.ports.size(); ++i) {
        const StationPortSnapshot& port = snapshot.ports[i];
        const StationCounters& c = port.counters;
        const std::optional<double> mean = c.MeanSeconds();
        rows.push_back(
            {port.name, i < m_devices.size() ? m_devices[i] : "", std::to_string(c.boards),
             std::to_string(c.succeeded), std::to_string(c.failed),
             mean ? Seconds(std::chrono::milliseconds(static_cast<int64_t>(*mean * 1000))) : "-"});
    }
    return TableText(rows);
}

// Says why the station did not start; true when it was a port that failed.
bool CStationView::ReportStartError(const StationStartError& error) const {
    switch (error.kind) {
        case StationStartError::Kind::Image:
            std::fprintf(stderr, "tarvik-cli: %s: %s\n", m_options.image.c_str(),
                         error.text.c_str());
            return false;
        case StationStartError::Kind::Log:
            std::fprintf(stderr, "tarvik-cli: %s\n", error.text.c_str());
            return false;
        case StationStartError::Kind::Port: {
            const std::string device = DeviceOf(error.port);
            std::fprintf(stderr, "tarvik-cli: %s\n",
                         (error.readerFailed ? ReaderFailure(error.port, device, error.code)
                                             : OpenFailure(error.port, device, error.code))
                             .c_str());
            return true;
        }
        case StationStartError::Kind::Search:
            std::fprintf(stderr, "tarvik-cli: %s: %s: %s\n", error.port.c_str(),
                         m_options.image.c_str(), error.text.c_str());
            return false;
    }
    return false;
}

int CStationView::Run() {
    if (!PortsAreDistinct(m_options.ports)) {
        return kExitUsage;
    }
    for (const std::string& name : m_options.ports) {
        m_devices.push_back(DeviceOf(name));
    }
    if (m_options.bell) {
        m_bellOut = IsLiveTerminal(stdout) ? stdout : IsLiveTerminal(stderr) ? stderr : nullptr;
    }
    CStation station(StationOptionsFor(m_options), Events());
    m_station = &station;
    // Before the first reader thread starts, so that every thread inherits the mask.
    const CSignalWatch signals([&station] { station.RequestStop(); });
    m_view = MakeProgressView(m_options, m_options.ports.size(), m_live);
    if (const std::optional<StationStartError> error = station.Start()) {
        return ReportStartError(*error) ? kExitPortFailed : kExitUsage;
    }

    const StationOutcome outcome = station.Run();
    m_bellsDue += station.TakeBellsDue();
    RingBells(Clock::now(), true);
    const StationSnapshot last = station.Snapshot();
    m_view->Update(Lines(last));
    m_view->Print("\n" + ClosingTable(last), true);
    if (outcome.interrupted) {
        return kExitInterrupted;
    }
    return outcome.anyFailed || outcome.logFailed ? kExitFailed : kExitOk;
}

}  // namespace

int RunStation(const UpgradeOptions& options) {
    CStationView view(options);
    return view.Run();
}

}  // namespace tarvik::cli
