#include "cli/upgrade_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/progress_view.h"
#include "cli/signal_watch.h"
#include "cli/text_format.h"
#include "cli/upgrade_judge.h"
#include "serial/com_names.h"
#include "serial/com_port.h"
#include "upgrade/frames.h"
#include "upgrade/image.h"
#include "upgrade/loop_driver.h"
#include "upgrade/texts.h"

namespace tarvik::cli {

namespace {

using Clock = CEventLoop::Clock;

struct PortRun {
    std::string name;
    std::string device;
    std::unique_ptr<CLoopDriver> driver;
    Verdict verdict = Verdict::Running;
    std::string result;
    std::string detail;
    Clock::time_point started;
    std::chrono::system_clock::time_point startedWall;  // for the record's time
    Clock::time_point ended;
    std::optional<Clock::time_point> stalledSince;
    std::optional<Clock::time_point> transferSince;  // the first block observed on its way
    uint32_t transferFromBlock = 0;
    bool deviceGone = false;  // the device went while the search wrote to it
};

// A single run's port whose device went during the search: there is nothing to wait for.
constexpr char kDeviceGoneResult[] = "设备已拔出";
constexpr char kDeviceGoneDetail[] = "串口设备已断开，未找到电路板";

}  // namespace

// Where a name leads, for the report and to tell two names of one device apart.
std::string DeviceOf(const std::string& name) {
    const std::optional<std::string> path = ResolveDeviceName(name);
    return path ? CanonicalPath(*path) : std::string();
}

namespace {

// What separates folders in a device path, on any system the tool runs on.
constexpr char kPathSeparators[] = "/\\";
constexpr char kNotAPortName[] = "既不是串口名称(COM1 至 COM256)也不是设备路径";

std::string PortLabel(const std::string& name, const std::string& device) {
    return !device.empty() && device != name ? name + " (" + device + ")" : name;
}

}  // namespace

// The port opened but the thread that reads it could not start (memory or threads used up):
// the port is closed again, and that port counts as not opened.
std::string ReaderFailure(const std::string& name, const std::string& device, uint32_t code) {
    return PortLabel(name, device) + ": " + text::kPortUnavailable +
           " (no thread to read it: " + ComErrorText(code) + ")";
}

// Why a port did not open, in the operator's terms.
std::string OpenFailure(const std::string& name, const std::string& device, uint32_t code) {
    // A name that is neither a COM name nor a path leads nowhere for want of a device, not
    // because a port is missing or held: a mistyped name ("COM4l") is told as such.
    std::error_code ignored;
    if (!ComNumber(name) && name.find_first_of(kPathSeparators) == std::string::npos &&
        !std::filesystem::exists(name, ignored)) {
        return name + ": " + kNotAPortName;
    }
    std::string text = PortLabel(name, device) + ": ";
    text += text::kPortUnavailable;
    if (code == kErrAlreadyInitialized) {
        text += " (already open)";
    } else if (code != 0) {
        text += " (" + ComErrorText(code) + ")";
    }
    if (device.empty() && ComNumber(name)) {
        text += "; " + name + " leads to no device: add a link " + PortsFolder() + "/com" +
                std::to_string(*ComNumber(name)) + " to the device";
    } else if (code == kErrPortBusy || code == kErrPortLocked) {
        text += "; another program holds the port";
    } else if (code == kErrAccessDenied) {
        text += "; add the user to the dialout group, then log in again";
    }
    return text;
}

std::string RateFixedNote(const std::string& name, const std::string& device) {
    return PortLabel(name, device) +
           ": the line's rate is the server's; the scan cannot change it and searches at the "
           "server's rate only";
}

bool PortsAreDistinct(const std::vector<std::string>& ports) {
    for (size_t i = 0; i < ports.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            const std::string device = DeviceOf(ports[i]);
            if (!device.empty() && device == DeviceOf(ports[j])) {
                std::fprintf(stderr, "tarvik-cli: %s and %s lead to the same device %s\n",
                             ports[j].c_str(), ports[i].c_str(), device.c_str());
                return false;
            }
        }
    }
    return true;
}

namespace {

std::chrono::milliseconds Since(Clock::time_point from, Clock::time_point now) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - from);
}

class CUpgradeRun {
public:
    explicit CUpgradeRun(const UpgradeOptions& options) : m_options(options) {}
    int Run();

private:
    bool OpenPorts();
    bool StartEngines();
    void Supervise(Clock::time_point now);
    void Judge(PortRun& port, Clock::time_point now);
    void End(PortRun& port, Verdict verdict, std::string result, std::string detail,
             Clock::time_point now);
    bool AllEnded() const;
    std::vector<PortStatus> Snapshot(Clock::time_point now) const;
    void Record(const PortRun& port, Clock::time_point now);
    void CloseAll();
    int ExitCodeOf() const;

    const UpgradeOptions& m_options;
    CRecordLog m_log;          // open when --log names a file
    RecordedImage m_recorded;  // what every record says of the image
    bool m_logFailed = false;  // a record could not be written
    FirmwareImage m_image;     // loaded and checked once; read-only for every engine
    Clock::time_point m_programStart = Clock::now();
    CEventLoop m_loop;
    std::vector<PortRun> m_ports;
    std::unique_ptr<CSignalWatch> m_signals;
    std::unique_ptr<CProgressView> m_view;
    bool m_live = false;
    bool m_news = false;  // a line, the progress or a verdict changed since the last look
};

bool CUpgradeRun::OpenPorts() {
    const LineSelections selections = SelectionsFor(m_options);
    for (const std::string& name : m_options.ports) {
        PortRun port;
        port.name = name;
        port.device = DeviceOf(name);
        port.driver = std::make_unique<CLoopDriver>(m_loop, selections);
        port.driver->onChange = [this] { m_news = true; };
        if (m_options.trace) {
            port.driver->onTrace = [this, name](TraceDirection direction, const uint8_t* bytes,
                                                size_t length) {
                const std::string line =
                    TraceLine(Since(m_programStart, Clock::now()), name, direction, bytes, length);
                std::fprintf(stderr, "%s\n", line.c_str());
                std::fflush(stderr);  // a console's standard error may be buffered
            };
        }
        bool readerFailed = false;
        const uint32_t code = port.driver->OpenPort(name, m_options.baud, &readerFailed);
        m_ports.push_back(std::move(port));
        if (code != kErrSuccess) {
            const std::string& device = m_ports.back().device;
            std::fprintf(
                stderr, "tarvik-cli: %s\n",
                (readerFailed ? ReaderFailure(name, device, code) : OpenFailure(name, device, code))
                    .c_str());
            return false;
        }
        if (m_ports.back().driver->Port().RateFixed()) {
            std::fprintf(stderr, "tarvik-cli: %s\n",
                         RateFixedNote(name, m_ports.back().device).c_str());
        }
    }
    return true;
}

bool CUpgradeRun::StartEngines() {
    for (PortRun& port : m_ports) {
        const StartResult result = port.driver->Engine().Start(m_image);
        port.started = Clock::now();
        port.startedWall = std::chrono::system_clock::now();
        if (result != StartResult::Started) {
            std::fprintf(stderr, "tarvik-cli: %s: %s\n", m_options.image.c_str(),
                         StartFailureText(result));
            return false;
        }
    }
    return true;
}

void CUpgradeRun::End(PortRun& port, Verdict verdict, std::string result, std::string detail,
                      Clock::time_point now) {
    port.verdict = verdict;
    port.result = std::move(result);
    port.detail = std::move(detail);
    port.ended = now;
    m_news = true;
    Record(port, now);
}

// One record per board taken: a search that never found a board is none. The run's one
// board per port has been taken when this is written, so a failure to write can only be
// said and reflected in the exit code.
void CUpgradeRun::Record(const PortRun& port, Clock::time_point now) {
    const CUpgradeEngine& engine = port.driver->Engine();
    if (!m_log.IsOpen() || !engine.DeviceFound()) {
        return;
    }
    const double seconds = std::chrono::duration<double>(now - port.started).count();
    const BoardRecord record =
        MakeBoardRecord({port.name, 1, RecordResultOf(port.verdict), port.result, port.detail,
                         port.startedWall, seconds},
                        engine, m_recorded);
    if (const RecordError error = m_log.Append(record)) {
        std::fprintf(stderr, "tarvik-cli: %s\n", error.text.c_str());
        m_logFailed = true;
    }
}

void CUpgradeRun::Judge(PortRun& port, Clock::time_point now) {
    if (port.verdict != Verdict::Running) {
        return;
    }
    CUpgradeEngine& engine = port.driver->Engine();
    // No board has answered, so there is no outcome to look at first.
    if (m_options.searchTimeout && !engine.DeviceFound() &&
        Since(port.started, now) >= *m_options.searchTimeout) {
        engine.OnStop();
        End(port, Verdict::NotFound, kNoBoardFound,
            "搜索时限 " + Seconds(*m_options.searchTimeout) + " 内无应答", now);
        return;
    }
    if (!engine.DeviceFound() && LineHasGone(engine.LastSendCode())) {
        engine.OnStop();
        port.deviceGone = true;
        End(port, Verdict::NotFound, kDeviceGoneResult, kDeviceGoneDetail, now);
        return;
    }
    if (std::optional<UpgradeEnd> end =
            JudgeUpgrade(*port.driver, port.stalledSince, m_options.stallTimeout, now, m_news)) {
        End(port, end->verdict, std::move(end->result), std::move(end->detail), now);
        return;
    }
    if (!port.transferSince && engine.Phase() == UpgradePhase::Sending) {
        port.transferSince = now;
        port.transferFromBlock = engine.State().blockCounter;
    }
}

void CUpgradeRun::Supervise(Clock::time_point now) {
    for (PortRun& port : m_ports) {
        Judge(port, now);
    }
}

bool CUpgradeRun::AllEnded() const {
    for (const PortRun& port : m_ports) {
        if (port.verdict == Verdict::Running) {
            return false;
        }
    }
    return true;
}

std::vector<PortStatus> CUpgradeRun::Snapshot(Clock::time_point now) const {
    std::vector<PortStatus> out;
    for (const PortRun& port : m_ports) {
        CLoopDriver& driver = *port.driver;
        const CUpgradeEngine& engine = driver.Engine();
        PortStatus s;
        s.name = port.name;
        s.device = port.device;
        s.verdict = port.verdict;
        s.phase = engine.Phase();
        // While scanning, the info line shows the search text from the first tick on; before
        // it, the line still holds its old text.
        s.info = s.phase == UpgradePhase::Scanning ? engine.State().searchText : driver.Info();
        s.status = driver.Status();
        s.deviceFound = engine.DeviceFound();
        s.blocks = engine.State().blockCounter;
        s.totalBlocks = engine.State().totalBlocks;
        if (!s.deviceFound) {
            s.totalBlocks = 0;
        }
        const Clock::time_point end = port.verdict == Verdict::Running ? now : port.ended;
        s.elapsed = Since(port.started, end);
        if (port.transferSince && s.blocks > port.transferFromBlock && now > *port.transferSince) {
            const double seconds = std::chrono::duration<double>(now - *port.transferSince).count();
            s.bytesPerSecond =
                static_cast<double>(s.blocks - port.transferFromBlock) * kBlockSize / seconds;
        }
        if (port.stalledSince) {
            s.stalledFor = Since(*port.stalledSince, now);
        }
        s.stallLimit = m_options.stallTimeout;
        s.result = port.result;
        s.detail = port.detail;
        out.push_back(std::move(s));
    }
    return out;
}

void CUpgradeRun::CloseAll() {
    // Every reader is asked first: each notices within one read, so the ports close together
    // instead of one read time-out after another.
    for (PortRun& port : m_ports) {
        port.driver->RequestClose();
    }
    for (PortRun& port : m_ports) {
        port.driver->ClosePort();
    }
}

int CUpgradeRun::ExitCodeOf() const {
    if (m_logFailed) {
        return kExitFailed;  // a board went unrecorded: the operator must look
    }
    bool notFound = false;
    bool deviceGone = false;
    for (const PortRun& port : m_ports) {
        if (port.verdict == Verdict::Failed) {
            return kExitFailed;
        }
        notFound = notFound || port.verdict == Verdict::NotFound;
        deviceGone = deviceGone || port.deviceGone;
    }
    if (deviceGone) {
        return kExitPortFailed;  // the port is as unusable as one that did not open
    }
    return notFound ? kExitNotFound : kExitOk;
}

int CUpgradeRun::Run() {
    if (!PortsAreDistinct(m_options.ports)) {
        return kExitUsage;
    }
    if (const std::optional<std::string> rejected = LoadRunImage(m_options.image, m_image)) {
        std::fprintf(stderr, "tarvik-cli: %s: %s\n", m_options.image.c_str(), rejected->c_str());
        return kExitUsage;
    }
    // Before any port is touched: a board that could not be recorded is not taken.
    if (m_options.log) {
        if (const RecordError error = m_log.Open(*m_options.log)) {
            std::fprintf(stderr, "tarvik-cli: %s\n", error.text.c_str());
            return kExitUsage;
        }
        m_recorded = DescribeImage(m_options.image, m_image);
    }
    // Before the first reader thread starts, so that every thread inherits the mask.
    m_signals = std::make_unique<CSignalWatch>([this] { m_loop.Wake(); });

    if (!OpenPorts()) {
        CloseAll();
        return kExitPortFailed;
    }
    if (m_signals->Raised() != 0) {
        CloseAll();
        return kExitInterrupted;
    }
    if (!StartEngines()) {
        for (PortRun& port : m_ports) {
            port.driver->Engine().OnStop();
        }
        CloseAll();
        return kExitUsage;
    }

    m_view = MakeProgressView(m_options, m_ports.size(), m_live);
    const auto look = [this](Clock::time_point now) {
        Supervise(now);
        if (!m_live && m_news) {
            m_news = false;
            m_view->Update(Snapshot(now));
        }
    };
    const bool interrupted = SuperviseUntil(
        m_loop, *m_signals, *m_view, m_live, look, [this] { return AllEnded(); },
        [this](Clock::time_point now) { return Snapshot(now); });

    const Clock::time_point now = Clock::now();
    if (interrupted) {
        // Stop on every port, as the window's Stop button: no frame goes to the board.
        for (PortRun& port : m_ports) {
            if (port.verdict == Verdict::Running) {
                port.driver->Engine().OnStop();
                End(port, Verdict::Stopped, text::kUpgradeStopped, "", now);
            }
        }
    }
    CloseAll();
    m_view->Finish(Snapshot(now));
    if (interrupted) {
        return kExitInterrupted;
    }
    return ExitCodeOf();
}

}  // namespace

int RunUpgrade(const UpgradeOptions& options) {
    if (options.repeat) {
        return RunStation(options);
    }
    CUpgradeRun run(options);
    return run.Run();
}

}  // namespace tarvik::cli
