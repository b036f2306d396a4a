// A scripted station for the station windows' tests (the Qt view and the Win32 view): the test
// says what the station looks like and what it reports, and reads back what the window asked
// of it. Toolkit-free; header only, for the programs that link the station window's logic.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station_window/station_source.h"

namespace tarvik::testing {

// What the window asked of the station, and what the test makes the station say.
struct Script {
    std::vector<station::StationRequest> starts;
    station::StartError startError;
    std::vector<station::PortLook> look;
    std::vector<station::StationEvent> events;
    std::optional<std::string> logFailure;
    bool ended = false;
    int stops = 0;
    int looks = 0;
    uint32_t inTransferAtStop = 0;  // boards Stop found in transfer
};

class CScriptedSource : public station::IStationSource {
public:
    explicit CScriptedSource(std::shared_ptr<Script> script) : m_script(std::move(script)) {}
    station::StartError Start(const station::StationRequest& request) override {
        m_script->starts.push_back(request);
        return m_script->startError;
    }
    std::vector<station::PortLook> Look() override {
        ++m_script->looks;
        return m_script->look;
    }
    std::vector<station::StationEvent> TakeEvents() override {
        std::vector<station::StationEvent> out;
        out.swap(m_script->events);
        return out;
    }
    std::optional<std::string> LogFailure() override { return m_script->logFailure; }
    bool Ended() override { return m_script->ended; }
    uint32_t Stop() override {
        ++m_script->stops;
        uint32_t interrupted = 0;
        for (station::PortLook& port : m_script->look) {
            // A board that answered the search is in transfer from then on.
            if (port.stage == station::PortStage::Transfer ||
                port.stage == station::PortStage::Searching) {
                ++interrupted;
                port.stage = station::PortStage::Idle;
                port.lastVerdict = station::BoardVerdict::Interrupted;
                ++port.boards;
            }
        }
        m_script->inTransferAtStop = interrupted;
        m_script->ended = true;
        return interrupted;
    }

private:
    std::shared_ptr<Script> m_script;
};

// A port at `stage`; in transfer, `blocks` of 200 written after 5 s.
inline station::PortLook Look(const std::string& name, station::PortStage stage,
                              uint32_t blocks = 50) {
    using namespace std::chrono_literals;
    station::PortLook port;
    port.name = name;
    port.stage = stage;
    if (stage == station::PortStage::Transfer) {
        port.blocks = blocks;
        port.totalBlocks = 200;
        port.transferElapsed = 5s;
    }
    return port;
}

// A port whose first board failed at the checksum with `reason`, waiting for it to go.
inline station::PortLook FailedLook(const std::string& name, const std::string& reason) {
    station::PortLook port = Look(name, station::PortStage::WaitingGone);
    port.lastVerdict = station::BoardVerdict::Failed;
    port.lastReason = reason;
    port.lastStep = "checksum";
    port.boards = 1;
    port.failed = 1;
    return port;
}

// Board `board` of `port` ended with `verdict`, its record as the station writes it.
inline station::StationEvent Event(const std::string& port, uint32_t board,
                                   station::BoardVerdict verdict) {
    station::StationEvent event;
    event.verdict = verdict;
    event.record.time = "2026-12-11T06:0" + std::to_string(board) + ":00.000Z";
    event.record.port = port;
    event.record.board = board;
    event.record.result = verdict == station::BoardVerdict::Succeeded ? kRecordOk : kRecordFailed;
    event.record.step = verdict == station::BoardVerdict::Failed ? "checksum" : "";
    event.record.seconds = 3.25;
    return event;
}

}  // namespace tarvik::testing
