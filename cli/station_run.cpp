// `tarvik-cli upgrade --repeat`: a production station. Every port takes one board after
// another: search and upgrade as a single run does, record the outcome, wait for the board to
// go (so that no board is taken twice by accident), then search for the next one.
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
#include "serial/com_port.h"
#include "tarvik_version.h"
#include "upgrade/board_gone.h"
#include "upgrade/board_record.h"
#include "upgrade/frames.h"
#include "upgrade/loop_driver.h"
#include "upgrade/texts.h"

namespace tarvik::cli {

namespace {

using Clock = CEventLoop::Clock;
using WallClock = std::chrono::system_clock;

// A pulled adapter: how often to try to open its port again.
constexpr std::chrono::milliseconds kReopenPeriod{500};
// The bells of a failure, apart enough for a terminal to ring each.
constexpr std::chrono::milliseconds kBellGap{250};
constexpr int kBellsForSuccess = 1;
constexpr int kBellsForFailure = 3;
constexpr char kBell[] = "\a";

// The operator's words at the fixture.
constexpr char kPlaceNextBoard[] = "请放上下一块板";
constexpr char kRemoveBoard[] = "请取下电路板";
constexpr char kDeviceGone[] = "设备已拔出，等待重新连接";
constexpr char kStationDone[] = "完成";

enum class StationState {
    Upgrading,    // searching, or a board taken
    WaitingGone,  // the outcome is in; the board is still on the fixture
    Reopening,    // the device vanished; waiting for it to come back
    Done,         // no further board on this port
};

struct Station {
    std::string name;
    std::string device;
    std::unique_ptr<CLoopDriver> driver;
    StationState state = StationState::Upgrading;
    uint32_t board = 1;  // the number of the board searched for or taken
    std::optional<Clock::time_point> foundAt;
    WallClock::time_point foundWall;
    std::optional<Clock::time_point> stalledSince;
    CBoardGoneWatch gone;
    Clock::time_point nextReopen;
    Clock::time_point stateSince;
    // Counters of the run.
    uint32_t boards = 0;
    uint32_t succeeded = 0;
    uint32_t failed = 0;
    double seconds = 0;  // of every board taken, for the mean
};

std::chrono::milliseconds Since(Clock::time_point from, Clock::time_point now) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - from);
}

std::string Counters(const Station& s) {
    return "[" + std::to_string(s.boards) + " boards, " + std::to_string(s.succeeded) + " ok, " +
           std::to_string(s.failed) + " failed]";
}

class CStationRun {
public:
    explicit CStationRun(const UpgradeOptions& options) : m_options(options) {}
    int Run();

private:
    bool OpenPorts();
    void Supervise(Station& station, Clock::time_point now);
    void Probe(Station& station, Clock::time_point now);
    void Outcome(Station& station, Verdict verdict, const std::string& result,
                 const std::string& message, Clock::time_point now);
    void NextBoard(Station& station, Clock::time_point now);
    void EndWaitingPorts();
    bool StartSearch(Station& station);
    bool AllDone() const;
    bool AnyTransfer() const;
    std::vector<PortStatus> Snapshot(Clock::time_point now) const;
    void RingBells(Clock::time_point now, bool all);
    std::string ClosingTable() const;
    void CloseAll();

    const UpgradeOptions& m_options;
    FirmwareImage m_image;
    RecordedImage m_recorded;  // what every record says of the image
    CRecordLog m_log;
    Clock::time_point m_programStart = Clock::now();
    CEventLoop m_loop;
    std::vector<Station> m_stations;
    std::unique_ptr<CSignalWatch> m_signals;
    std::unique_ptr<CProgressView> m_view;
    bool m_live = false;
    bool m_news = false;
    bool m_ending = false;     // no further board is taken (--stop-on-fail, a log that failed)
    bool m_logFailed = false;  // a record could not be written
    int m_bellsDue = 0;
    Clock::time_point m_nextBell{};
};

bool CStationRun::OpenPorts() {
    const LineSelections selections = SelectionsFor(m_options);
    m_stations.reserve(m_options.ports.size());
    for (const std::string& name : m_options.ports) {
        m_stations.emplace_back();
        Station& station = m_stations.back();
        station.name = name;
        station.device = DeviceOf(name);
        station.driver = std::make_unique<CLoopDriver>(m_loop, selections);
        station.driver->onChange = [this] { m_news = true; };
        Station* self = &station;  // m_stations does not grow past the reserve
        station.driver->onTrace = [this, self](TraceDirection direction, const uint8_t* bytes,
                                               size_t length) {
            if (direction == TraceDirection::Received && self->state == StationState::WaitingGone &&
                IsEnterUpgradeAnswer(bytes, static_cast<uint32_t>(length))) {
                self->gone.AnswerSeen(Clock::now());
            }
            if (m_options.trace) {
                const std::string line = TraceLine(Since(m_programStart, Clock::now()), self->name,
                                                   direction, bytes, length);
                std::fprintf(stderr, "%s\n", line.c_str());
                std::fflush(stderr);
            }
        };
        bool readerFailed = false;
        const uint32_t code = station.driver->OpenPort(name, m_options.baud, &readerFailed);
        if (code != kErrSuccess) {
            std::fprintf(stderr, "tarvik-cli: %s\n",
                         (readerFailed ? ReaderFailure(name, station.device, code)
                                       : OpenFailure(name, station.device, code))
                             .c_str());
            return false;
        }
        if (station.driver->Port().RateFixed()) {
            std::fprintf(stderr, "tarvik-cli: %s\n", RateFixedNote(name, station.device).c_str());
        }
    }
    return true;
}

bool CStationRun::StartSearch(Station& station) {
    station.foundAt.reset();
    station.stalledSince.reset();
    const StartResult result = station.driver->Engine().Start(m_image);
    if (result != StartResult::Started) {
        std::fprintf(stderr, "tarvik-cli: %s: %s: %s\n", station.name.c_str(),
                     m_options.image.c_str(), StartFailureText(result));
        return false;
    }
    station.state = StationState::Upgrading;
    station.stateSince = Clock::now();
    return true;
}

// The record of the board just taken, the counters, the bells, and what comes next.
void CStationRun::Outcome(Station& station, Verdict verdict, const std::string& result,
                          const std::string& message, Clock::time_point now) {
    CUpgradeEngine& engine = station.driver->Engine();
    const Clock::time_point start = station.foundAt.value_or(now);
    const double seconds = std::chrono::duration<double>(now - start).count();
    ++station.boards;
    station.seconds += seconds;
    if (verdict == Verdict::Succeeded) {
        ++station.succeeded;
    } else if (verdict == Verdict::Failed) {
        ++station.failed;
    }
    std::string shown = result;
    if (!message.empty() && message != result) {
        shown += "  " + message;
    }
    m_view->Print(station.name + "  board " + std::to_string(station.board) + ": " + shown + "  " +
                      Seconds(Since(start, now)) + "  " + Counters(station),
                  true);

    if (m_log.IsOpen()) {
        const BoardRecord record = MakeBoardRecord(
            station.name, station.board, verdict, shown,
            station.foundAt ? station.foundWall : WallClock::now(), seconds, engine, m_recorded);
        if (const RecordError error = m_log.Append(record)) {
            // No board may go unrecorded: none is taken from here on.
            std::fprintf(stderr, "tarvik-cli: %s; no further board is taken\n", error.text.c_str());
            m_logFailed = true;
            m_ending = true;
        }
    }
    if (m_options.bell && verdict != Verdict::Stopped) {
        m_bellsDue += verdict == Verdict::Succeeded ? kBellsForSuccess : kBellsForFailure;
    }
    if (verdict == Verdict::Failed && m_options.stopOnFail) {
        m_ending = true;
    }
    if (!station.driver->IsStartEnabled()) {
        engine.OnStop();  // the upgrade is over whatever its engine still waits for
    }
    const bool countReached = m_options.count && station.boards >= *m_options.count;
    if (verdict == Verdict::Stopped || countReached || m_ending) {
        station.state = StationState::Done;
    } else {
        station.state = StationState::WaitingGone;
        station.gone.Begin(now);
        m_view->Print(station.name + "  " + kRemoveBoard, false);
    }
    station.stateSince = now;
    m_news = true;
    if (m_ending) {
        EndWaitingPorts();
    }
}

void CStationRun::NextBoard(Station& station, Clock::time_point now) {
    if (m_ending) {
        station.state = StationState::Done;
        return;
    }
    ++station.board;
    m_view->Print(station.name + "  " + kPlaceNextBoard, false);
    if (!StartSearch(station)) {
        station.state = StationState::Done;
        m_ending = true;
        EndWaitingPorts();
    }
    station.stateSince = now;
    m_news = true;
}

// Ports without a board in transfer take none any more.
void CStationRun::EndWaitingPorts() {
    for (Station& station : m_stations) {
        const bool transfer = station.state == StationState::Upgrading && station.foundAt;
        if (station.state != StationState::Done && !transfer) {
            if (station.state == StationState::Upgrading) {
                station.driver->Engine().OnStop();
            }
            station.state = StationState::Done;
            m_news = true;
        }
    }
}

// The enter-upgrade frame at the rate the board was found at: an answer means it is still
// on the fixture. A write that fails means the device itself has gone.
void CStationRun::Probe(Station& station, Clock::time_point now) {
    CLoopDriver& driver = *station.driver;
    const LineSelections selections = SelectionsFor(m_options);
    const uint32_t baud =
        driver.Engine().FoundBaud() != 0 ? driver.Engine().FoundBaud() : kTransferBaud;
    driver.Port().Setup(baud, static_cast<uint8_t>(selections.dataBitsIndex + kDataBitsIndexBase),
                        static_cast<uint8_t>(selections.parityIndex),
                        static_cast<uint8_t>(selections.stopBitsIndex));
    CCmdFrame probe = MakeEnterUpgradeFrame();
    const uint8_t* wire = probe.Pack();
    uint32_t written = 0;
    const uint32_t code =
        driver.Port().Write(wire, kCmdFrameSize, &written, nullptr, kSendTimeoutMs);
    driver.Trace(TraceDirection::Sent, wire, kCmdFrameSize);
    station.gone.ProbeSent(now);
    if (code != kErrSuccess && code != kErrTimeout) {
        driver.ClosePort();
        station.state = StationState::Reopening;
        station.nextReopen = now + kReopenPeriod;
        station.stateSince = now;
        m_view->Print(station.name + "  " + kDeviceGone, false);
        m_news = true;
    }
}

void CStationRun::Supervise(Station& station, Clock::time_point now) {
    switch (station.state) {
        case StationState::Upgrading: {
            CUpgradeEngine& engine = station.driver->Engine();
            if (!station.foundAt && engine.DeviceFound()) {
                station.foundAt = now;
                station.foundWall = WallClock::now();
                m_news = true;
            }
            if (std::optional<UpgradeEnd> end = JudgeUpgrade(*station.driver, station.stalledSince,
                                                             m_options.stallTimeout, now, m_news)) {
                Outcome(station, end->verdict, end->result, end->detail, now);
            }
            return;
        }
        case StationState::WaitingGone:
            if (station.gone.Gone(now)) {
                NextBoard(station, now);
            } else if (station.gone.ProbeDue(now)) {
                Probe(station, now);
            }
            return;
        case StationState::Reopening:
            if (now >= station.nextReopen) {
                if (station.driver->OpenPort(station.name, m_options.baud) == kErrSuccess) {
                    // The board went with the device: whatever comes back is the next one.
                    NextBoard(station, now);
                } else {
                    station.nextReopen = now + kReopenPeriod;
                }
            }
            return;
        case StationState::Done:
            return;
    }
}

bool CStationRun::AllDone() const {
    for (const Station& station : m_stations) {
        if (station.state != StationState::Done) {
            return false;
        }
    }
    return true;
}

bool CStationRun::AnyTransfer() const {
    for (const Station& station : m_stations) {
        if (station.state == StationState::Upgrading && station.foundAt) {
            return true;
        }
    }
    return false;
}

std::vector<PortStatus> CStationRun::Snapshot(Clock::time_point now) const {
    std::vector<PortStatus> out;
    for (const Station& station : m_stations) {
        CLoopDriver& driver = *station.driver;
        const CUpgradeEngine& engine = driver.Engine();
        PortStatus s;
        s.name = station.name;
        s.device = station.device;
        s.counters = Counters(station);
        s.stallLimit = m_options.stallTimeout;
        switch (station.state) {
            case StationState::Upgrading:
                s.phase = engine.Phase();
                s.info =
                    s.phase == UpgradePhase::Scanning ? engine.State().searchText : driver.Info();
                if (!station.foundAt && station.board > 1) {
                    s.info = std::string(kPlaceNextBoard) + "  " + s.info;
                }
                s.status = driver.Status();
                s.deviceFound = engine.DeviceFound();
                s.blocks = engine.State().blockCounter;
                s.totalBlocks = s.deviceFound ? engine.State().totalBlocks : 0;
                s.elapsed = Since(station.foundAt.value_or(station.stateSince), now);
                if (station.stalledSince) {
                    s.stalledFor = Since(*station.stalledSince, now);
                }
                break;
            case StationState::WaitingGone:
                s.info = kRemoveBoard;
                s.elapsed = Since(station.stateSince, now);
                break;
            case StationState::Reopening:
                s.info = kDeviceGone;
                s.elapsed = Since(station.stateSince, now);
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

void CStationRun::RingBells(Clock::time_point now, bool all) {
    while (m_bellsDue > 0 && (all || now >= m_nextBell)) {
        if (all && now < m_nextBell) {
            std::this_thread::sleep_until(m_nextBell);
            now = m_nextBell;
        }
        std::fputs(kBell, stdout);
        std::fflush(stdout);
        --m_bellsDue;
        m_nextBell = now + kBellGap;
    }
}

std::string CStationRun::ClosingTable() const {
    std::vector<std::vector<std::string>> rows = {
        {"port", "device", "boards", "succeeded", "failed", "mean time"}};
    for (const Station& s : m_stations) {
        const std::string mean = s.boards == 0
                                     ? "-"
                                     : Seconds(std::chrono::milliseconds(static_cast<int64_t>(
                                           s.seconds * 1000 / static_cast<double>(s.boards))));
        rows.push_back({s.name, s.device, std::to_string(s.boards), std::to_string(s.succeeded),
                        std::to_string(s.failed), mean});
    }
    return TableText(rows);
}

void CStationRun::CloseAll() {
    for (Station& station : m_stations) {
        station.driver->RequestClose();
    }
    for (Station& station : m_stations) {
        station.driver->ClosePort();
    }
}

int CStationRun::Run() {
    if (!PortsAreDistinct(m_options.ports)) {
        return kExitUsage;
    }
    if (const std::optional<std::string> rejected = LoadRunImage(m_options.image, m_image)) {
        std::fprintf(stderr, "tarvik-cli: %s: %s\n", m_options.image.c_str(), rejected->c_str());
        return kExitUsage;
    }
    m_recorded = DescribeImage(m_options.image, m_image);
    // Before any port is touched: a board that could not be recorded is not taken.
    if (m_options.log) {
        if (const RecordError error = m_log.Open(*m_options.log)) {
            std::fprintf(stderr, "tarvik-cli: %s\n", error.text.c_str());
            return kExitUsage;
        }
    }
    m_signals = std::make_unique<CSignalWatch>([this] { m_loop.Wake(); });
    if (!OpenPorts()) {
        CloseAll();
        return kExitPortFailed;
    }
    for (Station& station : m_stations) {
        if (!StartSearch(station)) {
            for (Station& other : m_stations) {
                other.driver->Engine().OnStop();
            }
            CloseAll();
            return kExitUsage;
        }
    }

    m_view = MakeProgressView(m_options, m_stations.size(), m_live);
    const auto look = [this](Clock::time_point now) {
        for (Station& station : m_stations) {
            Supervise(station, now);
        }
        RingBells(now, false);
        if (!m_live && m_news) {
            m_news = false;
            m_view->Update(Snapshot(now));
        }
    };
    const bool signalled = SuperviseUntil(
        m_loop, *m_signals, *m_view, m_live, look, [this] { return AllDone(); },
        [this](Clock::time_point now) { return Snapshot(now); });

    // Ctrl-C while every port waits for a board is the end of the shift; during a transfer
    // it stops that board, which is recorded as interrupted.
    const bool interrupted = signalled && AnyTransfer();
    const Clock::time_point now = Clock::now();
    if (signalled) {
        m_ending = true;
        for (Station& station : m_stations) {
            if (station.state == StationState::Upgrading && station.foundAt) {
                station.driver->Engine().OnStop();
                Outcome(station, Verdict::Stopped, text::kUpgradeStopped, "", now);
            }
        }
        EndWaitingPorts();
    }
    CloseAll();
    RingBells(Clock::now(), true);
    m_view->Update(Snapshot(now));
    m_view->Print("\n" + ClosingTable(), true);
    if (interrupted) {
        return kExitInterrupted;
    }
    bool anyFailed = m_logFailed;
    for (const Station& station : m_stations) {
        anyFailed = anyFailed || station.failed > 0;
    }
    return anyFailed ? kExitFailed : kExitOk;
}

}  // namespace

int RunStation(const UpgradeOptions& options) {
    CStationRun run(options);
    return run.Run();
}

}  // namespace tarvik::cli
