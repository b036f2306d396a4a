#include "station/station.h"

#include <utility>

#include "serial/com_port.h"
#include "upgrade/frames.h"
#include "upgrade/texts.h"

namespace tarvik {

namespace {

using WallClock = std::chrono::system_clock;
using Clock = CEventLoop::Clock;

constexpr int kPercent = 100;

std::chrono::milliseconds Since(Clock::time_point from, Clock::time_point now) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - from);
}

}  // namespace

std::optional<double> StationCounters::MeanSeconds() const {
    if (timedBoards == 0) {
        return std::nullopt;
    }
    return seconds / static_cast<double>(timedBoards);
}

void StationCounters::Add(const StationCounters& other) {
    boards += other.boards;
    succeeded += other.succeeded;
    failed += other.failed;
    interrupted += other.interrupted;
    timedBoards += other.timedBoards;
    seconds += other.seconds;
}

struct CStation::Port {
    size_t index = 0;
    std::string name;
    std::unique_ptr<CLoopDriver> driver;
    PortState state = PortState::Upgrading;
    uint32_t board = 1;  // the number of the board searched for or taken
    std::optional<Clock::time_point> foundAt;
    WallClock::time_point foundWall;
    std::optional<Clock::time_point> stalledSince;
    // The first block seen on its way, for the rate.
    std::optional<Clock::time_point> transferSince;
    uint32_t transferFromBlock = 0;
    CBoardGoneWatch gone;
    Clock::time_point nextReopen;
    Clock::time_point stateSince;
    StationCounters counters;
    std::optional<StationBoardEnd> last;
    bool searchGone = false;  // the device went while no board was taken
};

CStation::CStation(StationOptions options, StationEvents events)
    : m_options(std::move(options)), m_events(std::move(events)) {}

CStation::~CStation() {
    if (!m_closed) {
        CloseAll();
    }
}

void CStation::Prompt(const Port& port, const std::string& words) {
    if (m_events.onPrompt) {
        m_events.onPrompt(port.index, words);
    }
}

std::optional<StationStartError> CStation::Start() {
    if (const std::optional<std::string> rejected = LoadRunImage(m_options.image, m_image)) {
        return StationStartError{StationStartError::Kind::Image, "", 0, false, *rejected};
    }
    m_recorded = DescribeImage(m_options.image, m_image);
    // Before any port is touched: a board that could not be recorded is not taken.
    if (m_options.log) {
        if (const RecordError error = m_log.Open(*m_options.log)) {
            return StationStartError{StationStartError::Kind::Log, "", error.code, false,
                                     error.text};
        }
    }
    for (size_t i = 0; i < m_options.ports.size(); ++i) {
        auto port = std::make_unique<Port>();
        port->index = i;
        port->name = m_options.ports[i];
        port->driver = std::make_unique<CLoopDriver>(m_loop, m_options.selections);
        port->driver->onChange = [this] { m_news = true; };
        Port* self = port.get();
        port->driver->onTrace = [this, self](TraceDirection direction, const uint8_t* bytes,
                                             size_t length) {
            if (direction == TraceDirection::Received && self->state == PortState::WaitingGone &&
                IsEnterUpgradeAnswer(bytes, static_cast<uint32_t>(length))) {
                self->gone.AnswerSeen(Clock::now());
            }
            if (m_events.onTrace) {
                m_events.onTrace(self->name, direction, bytes, length);
            }
        };
        m_ports.push_back(std::move(port));
        bool readerFailed = false;
        const uint32_t code = self->driver->OpenPort(self->name, m_options.baud, &readerFailed);
        if (code != kErrSuccess) {
            CloseAll();
            return StationStartError{StationStartError::Kind::Port, self->name, code, readerFailed,
                                     ""};
        }
        if (self->driver->Port().RateFixed() && m_events.onRateFixed) {
            m_events.onRateFixed(m_ports.size() - 1);
        }
    }
    for (const std::unique_ptr<Port>& port : m_ports) {
        const StartResult result = StartSearch(*port);
        if (result != StartResult::Started) {
            for (const std::unique_ptr<Port>& other : m_ports) {
                other->driver->Engine().OnStop();
            }
            CloseAll();
            return StationStartError{StationStartError::Kind::Search, port->name, 0, false,
                                     StartFailureText(result)};
        }
    }
    for (const std::unique_ptr<Port>& port : m_ports) {
        Prompt(*port, kStationPlaceBoard);
    }
    Publish(Clock::now());
    return std::nullopt;
}

StartResult CStation::StartSearch(Port& port) {
    port.foundAt.reset();
    port.stalledSince.reset();
    port.transferSince.reset();
    const StartResult result = port.driver->Engine().Start(m_image);
    if (result == StartResult::Started) {
        port.state = PortState::Upgrading;
        port.stateSince = Clock::now();
    }
    return result;
}

// The record of the board just taken, the counters, the bells, and what comes next.
void CStation::Outcome(Port& port, Verdict verdict, const std::string& result,
                       const std::string& detail, Clock::time_point now) {
    CUpgradeEngine& engine = port.driver->Engine();
    const Clock::time_point start = port.foundAt.value_or(now);
    const double seconds = std::chrono::duration<double>(now - start).count();
    ++port.counters.boards;
    if (verdict != Verdict::Stopped) {
        // A board stopped half-way says nothing of how long a board takes.
        ++port.counters.timedBoards;
        port.counters.seconds += seconds;
    }
    if (verdict == Verdict::Succeeded) {
        ++port.counters.succeeded;
    } else if (verdict == Verdict::Failed) {
        ++port.counters.failed;
    } else if (verdict == Verdict::Stopped) {
        ++port.counters.interrupted;
    }
    StationBoardEnd end;
    end.port = port.index;
    end.name = port.name;
    end.board = port.board;
    end.verdict = verdict;
    end.result = result;
    end.detail = detail != result ? detail : "";
    end.step = verdict == Verdict::Failed ? StepWord(engine.RememberedStep()) : "";
    end.elapsed = Since(start, now);
    end.counters = port.counters;
    port.last = end;
    if (m_events.onBoardEnd) {
        m_events.onBoardEnd(end);
    }

    const BoardRecord record =
        MakeBoardRecord({port.name, port.board, RecordResultOf(verdict), result, end.detail,
                         port.foundAt ? port.foundWall : WallClock::now(), seconds},
                        engine, m_recorded);
    if (m_log.IsOpen()) {
        if (const RecordError error = m_log.Append(record)) {
            // No board may go unrecorded: none is taken from here on.
            m_logError = error.text;
            m_logFailed = true;
            m_ending = true;
            if (m_events.onLogFailed) {
                m_events.onLogFailed(error.text);
            }
        } else if (m_events.onRecord) {
            m_events.onRecord(record);
        }
    } else if (m_events.onRecord) {
        m_events.onRecord(record);
    }
    if (m_options.bell && verdict != Verdict::Stopped) {
        m_bellsDue +=
            verdict == Verdict::Succeeded ? kStationBellsForSuccess : kStationBellsForFailure;
    }
    if (verdict == Verdict::Failed && m_options.stopOnFail) {
        m_ending = true;
    }
    if (!port.driver->IsStartEnabled()) {
        engine.OnStop();  // the upgrade is over whatever its engine still waits for
    }
    const bool countReached = m_options.count && port.counters.boards >= *m_options.count;
    if (verdict == Verdict::Stopped || countReached || m_ending) {
        port.state = PortState::Done;
    } else if (LineHasGone(engine.LastSendCode())) {
        // The board went with the device: there is none to take off.
        DeviceGone(port, now);
    } else {
        port.state = PortState::WaitingGone;
        port.gone.Begin(now);
        Prompt(port, kStationRemoveBoard);
    }
    port.stateSince = now;
    m_news = true;
    if (m_ending) {
        EndWaitingPorts();
    }
}

void CStation::NextBoard(Port& port, Clock::time_point now) {
    if (m_ending) {
        port.state = PortState::Done;
        return;
    }
    // A device that went during the search took no board with it: the search for the same
    // board begins again.
    if (!port.searchGone) {
        ++port.board;
        port.last.reset();
    }
    port.searchGone = false;
    Prompt(port, port.board > 1 ? kStationPlaceNextBoard : kStationPlaceBoard);
    const StartResult result = StartSearch(port);
    if (result != StartResult::Started) {
        if (m_events.onSearchFailed) {
            m_events.onSearchFailed(port.index, StartFailureText(result));
        }
        port.state = PortState::Done;
        m_ending = true;
        EndWaitingPorts();
    }
    port.stateSince = now;
    m_news = true;
}

bool CStation::InTransfer(const Port& port) const {
    return port.state == PortState::Upgrading && port.foundAt.has_value();
}

// Ports without a board in transfer take none any more.
void CStation::EndWaitingPorts() {
    for (const std::unique_ptr<Port>& port : m_ports) {
        if (port->state != PortState::Done && !InTransfer(*port)) {
            if (port->state == PortState::Upgrading) {
                port->driver->Engine().OnStop();
            }
            port->state = PortState::Done;
            m_news = true;
        }
    }
}

// The enter-upgrade frame, at the rate the board was found at and at the transfer settings
// in turn: an answer means it is still on the fixture. A write that fails means the device
// itself has gone.
void CStation::Probe(Port& port, Clock::time_point now) {
    CLoopDriver& driver = *port.driver;
    if (port.gone.NextKind() == ProbeKind::Transfer) {
        driver.Port().Setup(kTransferBaud, kTransferDataBits, kTransferParity, kTransferStopBits);
    } else {
        const LineSelections& selections = m_options.selections;
        const uint32_t baud =
            driver.Engine().FoundBaud() != 0 ? driver.Engine().FoundBaud() : kTransferBaud;
        driver.Port().Setup(baud,
                            static_cast<uint8_t>(selections.dataBitsIndex + kDataBitsIndexBase),
                            static_cast<uint8_t>(selections.parityIndex),
                            static_cast<uint8_t>(selections.stopBitsIndex));
    }
    CCmdFrame probe = MakeEnterUpgradeFrame();
    const uint8_t* wire = probe.Pack();
    uint32_t written = 0;
    const uint32_t code =
        driver.Port().Write(wire, kCmdFrameSize, &written, nullptr, kSendTimeoutMs);
    driver.Trace(TraceDirection::Sent, wire, kCmdFrameSize);
    port.gone.ProbeSent(now);
    if (LineHasGone(code)) {
        DeviceGone(port, now);
    }
}

// The device behind the port has gone (a write failed): the port is closed and opened again
// once the device is back.
void CStation::DeviceGone(Port& port, Clock::time_point now) {
    if (port.state == PortState::Upgrading) {
        port.searchGone = !port.foundAt.has_value();
        port.driver->Engine().OnStop();
    }
    port.driver->ClosePort();
    port.state = PortState::Reopening;
    port.nextReopen = now + kStationReopenPeriod;
    port.stateSince = now;
    Prompt(port, kStationDeviceGone);
    m_news = true;
}

void CStation::Supervise(Port& port, Clock::time_point now) {
    switch (port.state) {
        case PortState::Upgrading: {
            CUpgradeEngine& engine = port.driver->Engine();
            if (!port.foundAt && !engine.DeviceFound() && LineHasGone(engine.LastSendCode())) {
                // The search writes into a device that has gone: wait for it to come back.
                DeviceGone(port, now);
                return;
            }
            if (!port.foundAt && engine.DeviceFound()) {
                port.foundAt = now;
                port.foundWall = WallClock::now();
                m_news = true;
            }
            if (std::optional<UpgradeEnd> end = JudgeUpgrade(*port.driver, port.stalledSince,
                                                             m_options.stallTimeout, now, m_news)) {
                Outcome(port, end->verdict, end->result, end->detail, now);
                return;
            }
            if (!port.transferSince && engine.Phase() == UpgradePhase::Sending) {
                port.transferSince = now;
                port.transferFromBlock = engine.State().blockCounter;
            }
            return;
        }
        case PortState::WaitingGone:
            if (port.gone.Gone(now)) {
                NextBoard(port, now);
            } else if (port.gone.ProbeDue(now)) {
                Probe(port, now);
            }
            return;
        case PortState::Reopening:
            if (now >= port.nextReopen) {
                if (port.driver->OpenPort(port.name, m_options.baud) == kErrSuccess) {
                    // A board taken went with the device: whatever comes back is the next one.
                    NextBoard(port, now);
                } else {
                    port.nextReopen = now + kStationReopenPeriod;
                }
            }
            return;
        case PortState::Done:
            return;
    }
}

void CStation::Look(Clock::time_point now) {
    for (const std::unique_ptr<Port>& port : m_ports) {
        Supervise(*port, now);
    }
    if (m_news) {
        m_news = false;
        if (m_events.onChange) {
            m_events.onChange(Build(now));
        }
    }
}

bool CStation::AllDone() const {
    for (const std::unique_ptr<Port>& port : m_ports) {
        if (port->state != PortState::Done) {
            return false;
        }
    }
    return true;
}

StationSnapshot CStation::Build(Clock::time_point now) const {
    StationSnapshot out;
    out.ending = m_ending;
    out.logError = m_logError;
    for (const std::unique_ptr<Port>& port : m_ports) {
        CLoopDriver& driver = *port->driver;
        const CUpgradeEngine& engine = driver.Engine();
        StationPortSnapshot s;
        s.name = port->name;
        s.board = port->board;
        s.counters = port->counters;
        s.last = port->last;
        s.stallLimit = m_options.stallTimeout;
        s.elapsed = Since(port->stateSince, now);
        switch (port->state) {
            case PortState::Upgrading: {
                s.phase = engine.Phase();
                // While scanning, the info line shows the search text from the first tick
                // on; before it, the line still holds its old text.
                s.info =
                    s.phase == UpgradePhase::Scanning ? engine.State().searchText : driver.Info();
                s.status = driver.Status();
                s.deviceFound = engine.DeviceFound();
                s.blocks = engine.State().blockCounter;
                s.totalBlocks = s.deviceFound ? engine.State().totalBlocks : 0;
                if (!port->foundAt) {
                    s.state = StationState::PlaceBoard;
                } else {
                    s.elapsed = Since(*port->foundAt, now);
                    s.state = port->transferSince || s.blocks > 0 ? StationState::Upgrading
                                                                  : StationState::Searching;
                    out.anyTransfer = true;
                }
                if (s.totalBlocks > 0) {
                    s.percent = static_cast<int>(static_cast<uint64_t>(s.blocks) * kPercent /
                                                 s.totalBlocks);
                }
                if (port->transferSince && s.blocks > port->transferFromBlock &&
                    now > *port->transferSince) {
                    const double seconds =
                        std::chrono::duration<double>(now - *port->transferSince).count();
                    const double rate = static_cast<double>(s.blocks - port->transferFromBlock) *
                                        kBlockSize / seconds;
                    s.bytesPerSecond = rate;
                    const uint32_t left = s.totalBlocks > s.blocks ? s.totalBlocks - s.blocks : 0;
                    s.timeLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::duration<double>(static_cast<double>(left) * kBlockSize /
                                                      rate));
                }
                if (port->stalledSince) {
                    s.stalledFor = Since(*port->stalledSince, now);
                }
                break;
            }
            case PortState::WaitingGone:
                s.state = StationState::RemoveBoard;
                break;
            case PortState::Reopening:
                s.state = StationState::DevicePulled;
                break;
            case PortState::Done:
                s.state = StationState::Done;
                break;
        }
        out.totals.Add(s.counters);
        out.ports.push_back(std::move(s));
    }
    return out;
}

void CStation::Publish(Clock::time_point now) {
    StationSnapshot snapshot = Build(now);
    const std::lock_guard<std::mutex> lock(m_snapshotMutex);
    m_snapshot = std::move(snapshot);
}

StationSnapshot CStation::Snapshot() const {
    const std::lock_guard<std::mutex> lock(m_snapshotMutex);
    return m_snapshot;
}

bool CStation::AnyTransfer() const {
    const std::lock_guard<std::mutex> lock(m_snapshotMutex);
    return m_snapshot.anyTransfer;
}

int CStation::TakeBellsDue() {
    return m_bellsDue.exchange(0);
}

void CStation::RequestStop() {
    m_stopRequested = true;
    m_loop.Wake();
}

void CStation::CloseAll() {
    m_closed = true;
    // Every reader is asked first: each notices within one read, so the ports close together
    // instead of one read time-out after another.
    for (const std::unique_ptr<Port>& port : m_ports) {
        port->driver->RequestClose();
    }
    for (const std::unique_ptr<Port>& port : m_ports) {
        port->driver->ClosePort();
    }
}

// A stop as a board's finish command is out: its answer may be on the line or on its way.
// It is taken, and every board in transfer judged once more, before any counts as
// interrupted. Nothing else moves meanwhile: no port in the search or waiting for a board
// to go is looked at.
void CStation::SettleFinishes() {
    const auto judge = [this] {
        bool finishing = false;
        const Clock::time_point now = Clock::now();
        for (const std::unique_ptr<Port>& port : m_ports) {
            if (InTransfer(*port)) {
                Supervise(*port, now);
                finishing = finishing || (InTransfer(*port) && port->driver->Engine().Phase() ==
                                                                   UpgradePhase::Finishing);
            }
        }
        return !finishing;
    };
    m_loop.RunUntil(judge, Clock::now() + kStationFinishAnswerTime);
    judge();
}

StationOutcome CStation::Run() {
    StationOutcome outcome;
    for (;;) {
        const Clock::time_point now = Clock::now();
        Look(now);
        if (AllDone()) {
            break;
        }
        if (m_stopRequested.load()) {
            outcome.stopped = true;
            break;
        }
        Publish(now);
        if (m_events.onPeriod) {
            m_events.onPeriod(Snapshot());
        }
        m_loop.RunUntil(
            [&] {
                if (m_stopRequested.load()) {
                    return true;
                }
                Look(Clock::now());
                return AllDone();
            },
            now + kStationLookPeriod);
    }

    // A stop while every port waits for a board is the end of the shift; during a transfer
    // it stops that board, which is recorded as interrupted.
    if (outcome.stopped) {
        SettleFinishes();
    }
    const Clock::time_point now = Clock::now();
    if (outcome.stopped) {
        m_ending = true;
        for (const std::unique_ptr<Port>& port : m_ports) {
            if (InTransfer(*port)) {
                outcome.interrupted = true;
                port->driver->Engine().OnStop();
                Outcome(*port, Verdict::Stopped, text::kUpgradeStopped, "", now);
            }
        }
        EndWaitingPorts();
    }
    CloseAll();
    for (const std::unique_ptr<Port>& port : m_ports) {
        outcome.anyFailed = outcome.anyFailed || port->counters.failed > 0;
    }
    outcome.logFailed = m_logFailed.load();
    StationSnapshot last = Build(now);
    last.finished = true;
    {
        const std::lock_guard<std::mutex> lock(m_snapshotMutex);
        m_snapshot = std::move(last);
    }
    return outcome;
}

}  // namespace tarvik
