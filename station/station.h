// The station: every port takes one board after another. Search and upgrade as a single run
// does, judge the outcome, record it, wait for the board to go (so that no board is taken
// twice by accident), then search for the next one; a pulled adapter is opened again when it
// is back. The command line and the station windows are views of one CStation.
//
// Threads: Start and Run belong to one thread, the station's (the command line's main
// thread, or a window's worker thread); every event of StationEvents comes on it. Snapshot,
// AnyTransfer, RequestStop, TakeBellsDue and LogFailed may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "station/judge.h"
#include "station/station_record.h"
#include "upgrade/board_gone.h"
#include "upgrade/board_record.h"
#include "upgrade/driver.h"
#include "upgrade/engine.h"
#include "upgrade/image.h"
#include "upgrade/loop_driver.h"

namespace tarvik {

// The operator's words at the fixture.
inline constexpr char kStationPlaceBoard[] = "请放上电路板";
inline constexpr char kStationPlaceNextBoard[] = "请放上下一块板";
inline constexpr char kStationRemoveBoard[] = "请取下电路板";
inline constexpr char kStationDeviceGone[] = "设备已拔出，等待重新连接";
inline constexpr char kStationDone[] = "完成";

// How long an upgrade may stay stalled (a failure shown, no timer running) before it ends.
inline constexpr std::chrono::milliseconds kStationStallTimeout{5000};
// A pulled adapter: how often to try to open its port again.
inline constexpr std::chrono::milliseconds kStationReopenPeriod{500};
// A stop as a board's finish command is out waits this long at most for its answer: the
// time a board is given to answer any frame.
inline constexpr std::chrono::milliseconds kStationFinishAnswerTime = kResendPeriod;
// How often the station's loop hands control back between events: for the time-outs, the
// probes, a stop request and the snapshot the views read.
inline constexpr std::chrono::milliseconds kStationLookPeriod{100};
// The bells a verdict is worth, for a view that rings them.
inline constexpr int kStationBellsForSuccess = 1;
inline constexpr int kStationBellsForFailure = 3;

// What a station is asked to do: filled from a window's settings or the command line's options.
struct StationOptions {
    std::vector<std::string> ports;  // COM names or device paths, in the order shown
    std::string image;               // the image's path (UTF-8)
    std::optional<std::string> log;  // the record of every board taken; none: no record
    LineSelections selections;       // the search's line settings, as the window's lists
    uint32_t baud = kTransferBaud;   // the rate a port is opened with; the search sets its own
    std::optional<uint64_t> count;   // boards to take on each port; none: until stopped
    bool stopOnFail = false;         // after a failure: take no further board on any port
    std::chrono::milliseconds stallTimeout = kStationStallTimeout;
    bool bell = false;  // count the bells of every verdict (TakeBellsDue)
};

// What a port is doing, as a view shows it.
enum class StationState {
    PlaceBoard,    // searching; no board has answered yet: the operator is to put one on
    Searching,     // a board answered the search; its transfer has not begun
    Upgrading,     // blocks are on their way (percent, blocks, rate and time left)
    RemoveBoard,   // the outcome is in (`last`); the board is still on the fixture
    DevicePulled,  // the device vanished; it is opened again once it is back
    Done,          // no further board on this port
};

// The counters of a port, or the totals of the station.
struct StationCounters {
    uint32_t boards = 0;  // taken: found, and ended one way or another
    uint32_t succeeded = 0;
    uint32_t failed = 0;
    uint32_t interrupted = 0;
    uint32_t timedBoards = 0;  // the boards that count in the mean time (not interrupted)
    double seconds = 0;        // of those boards, found to outcome
    // The mean time of a board in seconds; nothing before the first timed board.
    std::optional<double> MeanSeconds() const;
    void Add(const StationCounters& other);
};

// How one board taken ended.
struct StationBoardEnd {
    size_t port = 0;  // index into StationOptions::ports
    std::string name;
    uint32_t board = 0;  // 1, 2, ... on this port
    Verdict verdict = Verdict::Failed;
    std::string result;  // the window's text (升级成功, 升级失败(0x1b), 停止升级)
    std::string detail;  // what else there is to know, may be empty
    std::string step;    // for a failure, the word of the step it failed at
    std::chrono::milliseconds elapsed{0};  // found to outcome
    StationCounters counters;              // of its port, this board included
};

// One port as a view shows it, taken on the station's thread.
struct StationPortSnapshot {
    std::string name;
    StationState state = StationState::PlaceBoard;
    uint32_t board = 1;  // the board searched for or taken
    // The engine's lines and progress (while PlaceBoard, Searching or Upgrading).
    UpgradePhase phase = UpgradePhase::Idle;
    std::string info;    // the window's info line (the search text while scanning)
    std::string status;  // the window's status line
    bool deviceFound = false;
    uint32_t blocks = 0;                                  // blocks sent
    uint32_t totalBlocks = 0;                             // 0 until the board has answered
    std::optional<int> percent;                           // once the block count is known
    std::optional<double> bytesPerSecond;                 // once blocks flow
    std::optional<std::chrono::milliseconds> timeLeft;    // once the rate is known
    std::optional<std::chrono::milliseconds> stalledFor;  // a failure shown, no timer
    std::chrono::milliseconds stallLimit{0};              // when a stalled upgrade ends
    // Since the board was found (Searching, Upgrading), else since the state began.
    std::chrono::milliseconds elapsed{0};
    // The last board's outcome: kept while it stays on the fixture and after the port is done.
    std::optional<StationBoardEnd> last;
    StationCounters counters;
};

struct StationSnapshot {
    std::vector<StationPortSnapshot> ports;
    StationCounters totals;
    bool anyTransfer = false;  // a board is being upgraded on some port
    bool ending = false;       // no further board is taken (stop-on-fail, a log that failed)
    std::string logError;      // the log write that failed, empty while none did
    bool finished = false;     // Run has returned
};

// Why a station did not start; nothing was left open.
struct StationStartError {
    enum class Kind {
        Image,   // the image was rejected: `text`
        Log,     // the log cannot be opened for appending: `text`
        Port,    // port `port` did not open: `code` (and `readerFailed`: its reader did not start)
        Search,  // the search did not start on port `port`: `text`
    };
    Kind kind = Kind::Image;
    std::string port;
    uint32_t code = 0;
    bool readerFailed = false;
    std::string text;
};

// How a run of the station ended.
struct StationOutcome {
    bool stopped = false;      // RequestStop ended it
    bool interrupted = false;  // ...while a board was in transfer (recorded as interrupted)
    bool anyFailed = false;    // a board failed
    bool logFailed = false;    // a record could not be written
};

// What the station tells its view, each on the station's thread.
struct StationEvents {
    // A board's outcome, before its record is written.
    std::function<void(const StationBoardEnd&)> onBoardEnd;
    // An instruction to the operator at port `port`: kStationPlaceBoard (the first board),
    // kStationRemoveBoard, kStationDeviceGone, kStationPlaceNextBoard.
    std::function<void(size_t port, const std::string& words)> onPrompt;
    // A record, once it is in the log (or as made, when there is no log).
    std::function<void(const BoardRecord&)> onRecord;
    // A record could not be written (the log's words): no further board is taken.
    std::function<void(const std::string& error)> onLogFailed;
    // Something changed (a line, the progress, a state): the snapshot as it is now.
    std::function<void(const StationSnapshot&)> onChange;
    // Once per look period: the snapshot as it is now (the one Snapshot returns).
    std::function<void(const StationSnapshot&)> onPeriod;
    // The search did not start again on port `port` (Start's text): no further board is taken.
    std::function<void(size_t port, const std::string& text)> onSearchFailed;
    // Port `port` opened on a line whose rate is its server's (a raw network line): the search
    // goes out at that rate only.
    std::function<void(size_t port)> onRateFixed;
    // Every frame on a port's line.
    std::function<void(const std::string& port, TraceDirection, const uint8_t*, size_t)> onTrace;
};

class CStation {
public:
    using Clock = CEventLoop::Clock;

    CStation(StationOptions options, StationEvents events);
    ~CStation();  // closes every port still open
    CStation(const CStation&) = delete;
    CStation& operator=(const CStation&) = delete;

    // Loads the image, opens the log (a board that could not be recorded is not taken), opens
    // every port and starts every search. On an error every port is closed again.
    std::optional<StationStartError> Start();
    // Takes boards until every port is done or RequestStop. A stop during a transfer records
    // that board as interrupted. Every port is closed when it returns.
    StationOutcome Run();

    // Any thread: ends the run as soon as the station's thread sees it.
    void RequestStop();
    // Any thread: the latest snapshot (at most a look period old).
    StationSnapshot Snapshot() const;
    // Any thread: a board is being upgraded on some port (a view asks before stopping).
    bool AnyTransfer() const;
    // Any thread: the bells due since the last call (StationOptions::bell).
    int TakeBellsDue();
    // Any thread: a record could not be written.
    bool LogFailed() const { return m_logFailed.load(); }

private:
    enum class PortState { Upgrading, WaitingGone, Reopening, Done };
    struct Port;

    StartResult StartSearch(Port& port);
    void Supervise(Port& port, Clock::time_point now);
    void Probe(Port& port, Clock::time_point now);
    void DeviceGone(Port& port, Clock::time_point now);
    void SettleFinishes();
    void Outcome(Port& port, Verdict verdict, const std::string& result, const std::string& detail,
                 Clock::time_point now);
    void NextBoard(Port& port, Clock::time_point now);
    void EndWaitingPorts();
    void Look(Clock::time_point now);
    bool AllDone() const;
    bool InTransfer(const Port& port) const;
    StationSnapshot Build(Clock::time_point now) const;
    void Publish(Clock::time_point now);
    void CloseAll();
    void Prompt(const Port& port, const std::string& words);

    const StationOptions m_options;
    const StationEvents m_events;
    FirmwareImage m_image;
    RecordedImage m_recorded;  // what every record says of the image
    CRecordLog m_log;
    CEventLoop m_loop;
    std::vector<std::unique_ptr<Port>> m_ports;
    bool m_news = false;
    bool m_ending = false;  // no further board is taken (stop-on-fail, a log that failed)
    std::string m_logError;
    bool m_closed = false;

    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_logFailed{false};
    std::atomic<int> m_bellsDue{0};
    mutable std::mutex m_snapshotMutex;
    StationSnapshot m_snapshot;  // under m_snapshotMutex
};

}  // namespace tarvik
