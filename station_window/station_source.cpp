// The station window's source: one CStation started and run on a worker thread of its own,
// its snapshot read at the window's pace, its records handed over under a lock.
#include "station_window/station_source.h"

#include <future>
#include <mutex>
#include <thread>

#include "station/station.h"
#include "upgrade/texts.h"

namespace tarvik::station {

namespace {

PortStage StageOf(StationState state) {
    switch (state) {
        case StationState::PlaceBoard:
            return PortStage::PlaceBoard;
        case StationState::Searching:
            return PortStage::Searching;
        case StationState::Upgrading:
            return PortStage::Transfer;
        case StationState::RemoveBoard:
            return PortStage::WaitingGone;
        case StationState::DevicePulled:
            return PortStage::Reopening;
        case StationState::Done:
            return PortStage::Idle;
    }
    return PortStage::Idle;
}

std::optional<BoardVerdict> VerdictOf(Verdict verdict) {
    switch (verdict) {
        case Verdict::Succeeded:
            return BoardVerdict::Succeeded;
        case Verdict::Failed:
        case Verdict::NotFound:
            return BoardVerdict::Failed;
        case Verdict::Stopped:
            return BoardVerdict::Interrupted;
        case Verdict::Running:
            break;
    }
    return std::nullopt;
}

BoardVerdict VerdictOfRecord(const BoardRecord& record) {
    if (record.result == kRecordOk) {
        return BoardVerdict::Succeeded;
    }
    if (record.result == kRecordInterrupted) {
        return BoardVerdict::Interrupted;
    }
    return BoardVerdict::Failed;
}

PortLook LookOf(const StationPortSnapshot& s) {
    PortLook look;
    look.name = s.name;
    look.stage = StageOf(s.state);
    look.board = s.board;
    look.blocks = s.blocks;
    look.totalBlocks = s.totalBlocks;
    look.transferElapsed = s.elapsed;
    look.percent = s.percent;
    look.timeLeft = s.timeLeft;
    if (s.last) {
        look.lastVerdict = VerdictOf(s.last->verdict);
        look.lastReason = s.last->result;
        if (!s.last->detail.empty() && s.last->detail != s.last->result) {
            look.lastReason += "  " + s.last->detail;
        }
        look.lastStep = s.last->step;
    }
    look.boards = s.counters.boards;
    look.succeeded = s.counters.succeeded;
    look.failed = s.counters.failed;
    return look;
}

StartError ErrorOf(const StationStartError& error) {
    switch (error.kind) {
        case StationStartError::Kind::Port:
            return {StartError::Kind::Port, error.port + ": " + text::kPortUnavailable};
        case StationStartError::Kind::Search:
            return {StartError::Kind::Port, error.port + ": " + error.text};
        case StationStartError::Kind::Image:
        case StationStartError::Kind::Log:
            break;
    }
    return {StartError::Kind::Usage, error.text};
}

class CStationSource : public IStationSource {
public:
    ~CStationSource() override { Stop(); }

    StartError Start(const StationRequest& request) override {
        Stop();
        m_station.reset();
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_events.clear();
        }
        StationOptions options;
        options.ports = request.ports;
        options.image = request.image;
        options.log = request.log;
        options.selections.parityIndex = request.parityIndex;
        options.selections.dataBitsIndex = request.dataBitsIndex;
        options.selections.stopBitsIndex = request.stopBitsIndex;
        options.count = request.count;
        options.stopOnFail = request.stopOnFail;
        StationEvents events;
        // On the station's thread: each record once it is in the log.
        events.onRecord = [this](const BoardRecord& record) {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(StationEvent{VerdictOfRecord(record), record});
        };
        m_station = std::make_unique<CStation>(std::move(options), std::move(events));

        // Start and Run belong to one thread: the worker opens the ports, says how that went,
        // then takes boards until the station ends or is stopped.
        std::promise<std::optional<StationStartError>> started;
        std::future<std::optional<StationStartError>> result = started.get_future();
        CStation* station = m_station.get();
        // The promise lives with the worker: it is still setting it when Start has its answer.
        m_worker = std::thread([station, started = std::move(started)]() mutable {
            std::optional<StationStartError> error = station->Start();
            const bool failed = error.has_value();
            started.set_value(std::move(error));
            if (!failed) {
                station->Run();
            }
        });
        const std::optional<StationStartError> error = result.get();
        if (error) {
            m_worker.join();
            m_station.reset();
            return ErrorOf(*error);
        }
        return StartError{};
    }

    std::vector<PortLook> Look() override {
        std::vector<PortLook> looks;
        if (m_station) {
            for (const StationPortSnapshot& port : m_station->Snapshot().ports) {
                looks.push_back(LookOf(port));
            }
        }
        return looks;
    }

    std::vector<StationEvent> TakeEvents() override {
        const std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<StationEvent> out;
        out.swap(m_events);
        return out;
    }

    std::optional<std::string> LogFailure() override {
        if (!m_station) {
            return std::nullopt;
        }
        std::string error = m_station->Snapshot().logError;
        if (error.empty()) {
            return std::nullopt;
        }
        return error;
    }

    bool Ended() override { return !m_station || m_station->Snapshot().finished; }

    uint32_t Stop() override {
        if (!m_worker.joinable()) {
            return 0;
        }
        const uint32_t before = m_station->Snapshot().totals.interrupted;
        m_station->RequestStop();
        m_worker.join();
        return m_station->Snapshot().totals.interrupted - before;
    }

private:
    std::unique_ptr<CStation> m_station;  // kept after its run: its last snapshot
    std::thread m_worker;
    std::mutex m_mutex;
    std::vector<StationEvent> m_events;  // under m_mutex
};

}  // namespace

std::unique_ptr<IStationSource> StationRun() {
    return std::make_unique<CStationSource>();
}

}  // namespace tarvik::station
