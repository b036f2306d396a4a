// The station as a window sees it: started with the strip's settings, its ports' loop on a
// worker thread of its own, and from the window's thread a look at every port, the records
// and verdicts since the last look, and a stop. Both window views (Qt and Win32) draw from
// this; StationRun() makes the one that drives the station engine.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station_window/station_logic.h"
#include "upgrade/board_record.h"

namespace tarvik::station {

// What 开始 hands the station.
struct StationRequest {
    std::vector<std::string> ports;  // 1 to kMaxPanels distinct ports
    std::string image;
    std::string log;                // the record of every board; never empty
    std::optional<uint64_t> count;  // boards per port, then the port ends
    bool stopOnFail = false;
    int parityIndex = 0;  // as the dialog's lists
    int dataBitsIndex = 1;
    int stopBitsIndex = 0;
};

// A board's end as it happened: its verdict and the record written for it.
struct StationEvent {
    BoardVerdict verdict = BoardVerdict::Succeeded;
    BoardRecord record;
};

// How a start went: nothing, or why no board is taken (the image, the log or a port), in the
// operator's words.
struct StartError {
    enum class Kind { None, Usage, Port } kind = Kind::None;
    std::string text;
    explicit operator bool() const { return kind != Kind::None; }
};

// Every call on the window's thread; the station's own loop runs on its worker thread.
class IStationSource {
public:
    virtual ~IStationSource() = default;
    // Checks the image, opens the log and every port and starts the worker; on an error
    // nothing runs and every port is closed again.
    virtual StartError Start(const StationRequest& request) = 0;
    // Every port as it stands now, in the request's order.
    virtual std::vector<PortLook> Look() = 0;
    // The boards that ended since the last call, oldest first.
    virtual std::vector<StationEvent> TakeEvents() = 0;
    // Why the log could not be written, once it could not: from then on no board is taken.
    virtual std::optional<std::string> LogFailure() = 0;
    // True once every port has ended (its count reached, a failure with stopOnFail, a log
    // that failed) or Stop was called.
    virtual bool Ended() = 0;
    // Interrupts every board in transfer (each recorded as interrupted), ends every port,
    // joins the worker and closes the ports. Returns how many boards were interrupted.
    virtual uint32_t Stop() = 0;
};

// The source that drives the station engine.
std::unique_ptr<IStationSource> StationRun();

}  // namespace tarvik::station
