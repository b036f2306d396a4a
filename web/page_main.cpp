// The page's side of the upgrade: the engine the desktop tools use, driven by the browser's
// event loop. The page's script (web/page.js) forwards the buttons, the timers' ticks and the
// bytes the port reads; what the page shows goes back to it as Module.tarvikView calls. One
// thread: every entry point below runs on the page's only thread, between events.
//
// The page is a front end of its own. The engine's texts, boxes and bar calls are taken in
// here, not shown as they come: after every event the page looks at where the engine stands
// and shows one state (searching, upgrading k/n, succeeded, failed with its reason, stopped),
// which the script draws in the reader's language. Where the engine would wait for the
// operator (a stall after a wrong sum, a transfer whose port was closed), the page ends the
// upgrade as failed, so 开始升级 always starts a new one.
#include <emscripten.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "res/resource.h"
#include "serial/com_port.h"
#include "serial/com_port_web.h"
#include "settings/line_lists.h"
#include "upgrade/driver.h"
#include "upgrade/engine.h"
#include "upgrade/frames.h"
#include "upgrade/image.h"
#include "upgrade/reader.h"
#include "upgrade/texts.h"

namespace tarvik {
namespace {

// Queue sizes passed to Open; the page's script opens the port with its own receive buffer
// (web/line.js, kReceiveBufferBytes).
constexpr uint32_t kPageQueueSize = 1024;
// The device name passed to Open: the page's port is the one the operator granted it.
constexpr char kPageDeviceName[] = "web-serial";
// A reply is gathered until it is as long as a reply is (a command frame) or ends with the
// end mark, however the browser splits it into chunks. Bytes that sat unfinished this long
// before the next chunk came are not the start of that chunk's reply: they go to the engine
// as they are (which drops them) and the new chunk starts a reply. No reply's bytes come this
// far apart, even at 1200 baud (8.3 ms a byte).
constexpr double kStalePartialMs = 250.0;
// Every reply starts with these two bytes; anything before them is line noise (a board
// powering up, a scan step at the wrong rate) and is dropped, so a reply is never read from
// the middle.
constexpr uint8_t kReplyHead[2] = {'h', ':'};

// A reply that does not fit the frame in flight (the acknowledgement of a block sent twice
// after a duplicated answer, a step the engine does not know) leaves the engine waiting for
// one that does, which a late duplicate's successor brings. The page waits as long as the
// engine would resend a frame before giving up, then ends the upgrade as failed.
constexpr int kStallTimer = 101;  // beside the engine's timer ids
constexpr std::chrono::milliseconds kStallWait = kResendPeriod * (kResendsBeforeFailure + 1);

// What the page shows, as the script's view names it.
constexpr char kStageIdle[] = "idle";
constexpr char kStageSearching[] = "searching";
constexpr char kStageUpgrading[] = "upgrading";
constexpr char kStageSucceeded[] = "succeeded";
constexpr char kStageFailed[] = "failed";
constexpr char kStageStopped[] = "stopped";

// Why an upgrade failed or a start was refused, as the script's view names it.
constexpr char kReasonNone[] = "";
constexpr char kReasonSum[] = "sum";            // the board's sum is not the image's
constexpr char kReasonRejected[] = "rejected";  // the board's failure reply
constexpr char kReasonNoAnswerBlock[] = "no-answer-block";
constexpr char kReasonNoAnswerBegin[] = "no-answer-begin";
constexpr char kReasonNoAnswerSum[] = "no-answer-sum";
constexpr char kReasonNoAnswer[] = "no-answer";
constexpr char kReasonWrongBlock[] = "wrong-block";      // an acknowledgement of another block
constexpr char kReasonUnknownReply[] = "unknown-reply";  // a reply of no known step
constexpr char kReasonPortClosed[] = "port-closed";
constexpr char kReasonPortLost[] = "port-lost";
constexpr char kReasonPortNotOpen[] = "port-not-open";
constexpr char kReasonNoFile[] = "no-file";
constexpr char kReasonReadFailed[] = "read-failed";
constexpr char kReasonTooBig[] = "too-big";
constexpr char kReasonBadImage[] = "bad-image";

// clang-format off
EM_JS(void, view_state, (const char* stage, const char* reason, uint32_t block, uint32_t done,
                         uint32_t total), {
    Module.tarvikView.state(UTF8ToString(stage), UTF8ToString(reason), block >>> 0, done >>> 0,
                            total >>> 0);
});
EM_JS(void, view_lamp, (int lit), { Module.tarvikView.lamp(lit !== 0); });
EM_JS(void, view_message, (const char* utf8), { Module.tarvikView.message(UTF8ToString(utf8)); });
EM_JS(int, view_selection, (const char* id), {
    return Module.tarvikView.selection(UTF8ToString(id));
});
EM_JS(void, view_arm_timer, (int id, uint32_t ms), { Module.tarvikView.armTimer(id, ms); });
EM_JS(void, view_stop_timer, (int id), { Module.tarvikView.stopTimer(id); });
// clang-format on

class CWebPage final : public IUpgradeDriver {
public:
    CWebPage() : m_engine(*this), m_gatherer(m_reply, kCmdFrameSize) {}

    void OnOpenClose() {
        if (!m_port.IsOpen()) {
            if (m_port.Open(kPageDeviceName, kPageQueueSize, kPageQueueSize) != kErrSuccess) {
                view_message(text::kPortUnavailable);
                return;
            }
            m_gatherer.Clear();
            view_lamp(1);
            return;
        }
        // Closing the port ends an upgrade on it: the board is no longer reachable.
        EndUpgrade(kStageFailed, kReasonPortClosed);
        ClosePort();
    }

    // The script lost the port: unplugged, or an operation on it failed.
    void OnLineLost() {
        if (!m_port.IsOpen()) {
            return;
        }
        if (m_running) {
            EndUpgrade(kStageFailed, kReasonPortLost);
        } else {
            Show(kStageIdle, kReasonPortLost);
        }
        ClosePort();
    }

    // The line was opened again at new settings: what came before is from the old ones.
    void OnLineReopened() { m_gatherer.Clear(); }

    void OnStart(const char* path, const char* name) {
        if (m_running) {
            return;
        }
        BeginEvent();
        const StartResult result = m_engine.Start(path, name);
        switch (result) {
            case StartResult::Started:
                m_running = true;
                m_gatherer.Clear();
                Show(kStageSearching, kReasonNone);
                return;
            case StartResult::PortNotOpen:
                Show(kStageIdle, kReasonPortNotOpen);
                return;
            case StartResult::NoFileChosen:
                Show(kStageIdle, kReasonNoFile);
                return;
            case StartResult::OpenFailed:
            case StartResult::ReadFailed:
                Show(kStageIdle, kReasonReadFailed);
                return;
            case StartResult::TooBig:
                Show(kStageIdle, kReasonTooBig);
                return;
            case StartResult::BadImage:
                Show(kStageIdle, kReasonBadImage);
                return;
        }
    }

    void OnStop() {
        if (!m_running) {
            return;
        }
        EndUpgrade(kStageStopped, kReasonNone);
    }

    void OnTimer(int id) {
        if (!m_running) {
            return;  // a tick already queued when the upgrade ended
        }
        if (id == kStallTimer) {
            CancelStallWait();
            if (m_engine.Phase() == UpgradePhase::Stalled) {
                EndUpgrade(kStageFailed, m_stallReason);
            }
            return;
        }
        BeginEvent();
        m_engine.OnTimer(id);
        AfterEvent();
    }

    // A chunk read from the port at `arrivalMs` (the page's clock).
    void OnReceived(const uint8_t* bytes, uint32_t count, double arrivalMs) {
        if (m_gatherer.Count() != 0 && arrivalMs - m_lastArrivalMs > kStalePartialMs) {
            DeliverReply();
        }
        m_lastArrivalMs = arrivalMs;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t byte = bytes[i];
            const uint32_t gathered = m_gatherer.Count();
            if (gathered < sizeof kReplyHead && byte != kReplyHead[gathered]) {
                // Not the start of a reply: drop what was gathered; this byte may start one.
                m_gatherer.Clear();
                if (byte != kReplyHead[0]) {
                    continue;
                }
            }
            m_gatherer.Take(&byte, 1);
            if (m_gatherer.Complete()) {
                DeliverReply();
            }
        }
    }

    // IUpgradeDriver
    void ArmTimer(int id, std::chrono::milliseconds period) override {
        view_arm_timer(id, static_cast<uint32_t>(period.count()));
    }
    void StopTimer(int id) override { view_stop_timer(id); }
    // The engine's lines and bar are the page's to draw (see the top of this file); what
    // the engine said is kept only to tell its failures apart.
    void SetInfoText(const std::string&) override {}
    void SetStatusText(const std::string& utf8) override { m_statusSaid = utf8; }
    void SetProgressRange(uint32_t, uint32_t) override {}
    void SetProgressPos(uint32_t) override {}
    void EnableStart(bool enabled) override { m_startEnabled = enabled; }
    bool IsStartEnabled() const override { return m_startEnabled; }
    void ShowMessage(const std::string& utf8) override {
        if (utf8 == text::kFailureReply) {
            m_failureReply = true;
        }
        // Every other box of the engine answers a Start, whose result the page shows.
    }
    LineSelections Selections() const override {
        return LineSelections{view_selection("databits"), view_selection("parity"),
                              view_selection("stopbits")};
    }
    // The page's thread must not block: the pause is the line's, so the frame the engine
    // sends next goes out that much later, which is what the wait is for.
    void Wait(std::chrono::milliseconds duration) override { PauseWebLine(duration); }
    CComPort& Port() override { return m_port; }
    // A frame written: the desktop port empties its receive queue on a write, and so does
    // the page, so a reply is never put together from bytes older than the frame it answers.
    void Trace(TraceDirection direction, const uint8_t*, size_t) override {
        if (direction == TraceDirection::Sent) {
            m_gatherer.Clear();
        }
    }

private:
    void BeginEvent() {
        m_statusSaid.clear();
        m_failureReply = false;
        m_phaseBefore = m_engine.Phase();
        m_blockBefore = m_engine.State().blockCounter;
    }

    // Where the engine stands after an event, shown as one state.
    void AfterEvent() {
        if (!m_running) {
            return;
        }
        const UpgradeState& state = m_engine.State();
        if (m_engine.Phase() != UpgradePhase::Stalled) {
            CancelStallWait();
        }
        switch (m_engine.Phase()) {
            case UpgradePhase::Scanning:
            case UpgradePhase::FastResend:
                Show(kStageSearching, kReasonNone);
                return;
            case UpgradePhase::Handshake:
            case UpgradePhase::Sending:
            case UpgradePhase::Verifying:
            case UpgradePhase::Finishing:
                Show(kStageUpgrading, kReasonNone, 0, state.blockCounter, state.totalBlocks);
                return;
            case UpgradePhase::Stalled: {
                // The engine waits for a reply that would set things right or for Stop. A
                // wrong sum stays wrong; anything else may yet be set right (kStallWait).
                const char* reason = StallReason();
                if (reason == kReasonSum) {
                    EndUpgrade(kStageFailed, reason);
                    return;
                }
                if (!m_stallWaiting) {
                    m_stallWaiting = true;
                    m_stallReason = reason;
                    view_arm_timer(kStallTimer, static_cast<uint32_t>(kStallWait.count()));
                }
                Show(kStageUpgrading, kReasonNone, 0, state.blockCounter, state.totalBlocks);
                return;
            }
            case UpgradePhase::Idle:
                break;
        }
        if (m_engine.Outcome() == UpgradeOutcome::Succeeded) {
            m_running = false;
            Show(kStageSucceeded, kReasonNone, 0, state.totalBlocks, state.totalBlocks);
            return;
        }
        if (m_failureReply) {
            const bool inTransfer = m_phaseBefore == UpgradePhase::Sending;
            EndUpgrade(kStageFailed, kReasonRejected, inTransfer ? m_blockBefore : 0);
            return;
        }
        EndUpgrade(kStageFailed, NoAnswerReason(), m_blockBefore);
    }

    const char* StallReason() const {
        if (m_statusSaid != text::kUpgradeFailed) {
            return kReasonUnknownReply;
        }
        const uint8_t step = m_engine.RememberedStep();
        if (step == kStepChecksum) {
            return kReasonSum;
        }
        if (step == kStepDataBlock || step == kStepFinalBlock) {
            return kReasonWrongBlock;
        }
        return kReasonUnknownReply;
    }

    // The resends of the frame in flight went unanswered.
    const char* NoAnswerReason() const {
        switch (m_engine.RememberedStep()) {
            case kStepDataBlock:
            case kStepFinalBlock:
                return kReasonNoAnswerBlock;
            case kStepBeginTransfer:
                return kReasonNoAnswerBegin;
            case kStepChecksum:
                return kReasonNoAnswerSum;
            default:
                return kReasonNoAnswer;
        }
    }

    void CancelStallWait() {
        if (m_stallWaiting) {
            m_stallWaiting = false;
            view_stop_timer(kStallTimer);
        }
    }

    // Ends a running upgrade: the engine's timers stop and Start is allowed again.
    void EndUpgrade(const char* stage, const char* reason, uint32_t block = 0) {
        if (!m_running) {
            return;
        }
        CancelStallWait();
        m_running = false;
        const UpgradeState& state = m_engine.State();
        const uint32_t done = state.blockCounter;
        const uint32_t total = state.totalBlocks;
        m_engine.OnStop();
        Show(stage, reason, block, done, total);
    }

    void Show(const char* stage, const char* reason, uint32_t block = 0, uint32_t done = 0,
              uint32_t total = 0) {
        view_state(stage, reason, block, done, total);
    }

    void ClosePort() {
        m_port.Close();
        m_engine.OnPortClosed();
        m_gatherer.Clear();
        view_lamp(0);
    }

    void DeliverReply() {
        const uint32_t count = m_gatherer.Count();
        uint8_t reply[kCmdFrameSize];
        std::memcpy(reply, m_gatherer.Data(), count);
        m_gatherer.Clear();
        if (!m_running) {
            return;
        }
        BeginEvent();
        m_engine.OnFrameReceived(reply, count);
        AfterEvent();
    }

    CComPort m_port;
    CUpgradeEngine m_engine;
    bool m_startEnabled = true;
    bool m_running = false;  // an upgrade the page started and has not ended
    // What the engine said during the event being handled.
    std::string m_statusSaid;
    bool m_failureReply = false;
    UpgradePhase m_phaseBefore = UpgradePhase::Idle;
    uint32_t m_blockBefore = 0;
    // Waiting out a stall (kStallTimer armed), and what it is if it lasts.
    bool m_stallWaiting = false;
    const char* m_stallReason = kReasonNone;
    uint8_t m_reply[kCmdFrameSize] = {};
    CReplyGatherer m_gatherer;
    double m_lastArrivalMs = 0.0;
};

CWebPage& Page() {
    static CWebPage page;
    return page;
}

// ---- the tables the page shares with the window, as one JSON text ----

void AppendJsonString(std::string& out, const char* text) {
    out += '"';
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '"' || *c == '\\') {
            out += '\\';
        }
        out += *c;
    }
    out += '"';
}

template <size_t N>
void AppendList(std::string& out, const char* name, const char* const (&items)[N]) {
    AppendJsonString(out, name);
    out += ":[";
    for (size_t i = 0; i < N; ++i) {
        if (i != 0) {
            out += ',';
        }
        AppendJsonString(out, items[i]);
    }
    out += "],";
}

void AppendText(std::string& out, const char* key, const char* text) {
    AppendJsonString(out, key);
    out += ':';
    AppendJsonString(out, text);
    out += ',';
}

const char* ControlText(int id) {
    for (const res::ControlTemplate& control : res::kMainTemplate) {
        if (control.id == id) {
            return control.text;
        }
    }
    return "";
}

// The caption of the label standing over list `listId` in the window (same column, above).
constexpr int kLabelColumnSlack = 2;  // dialog units
const char* LabelOver(int listId) {
    int listX = 0;
    int listY = 0;
    for (const res::ControlTemplate& control : res::kMainTemplate) {
        if (control.id == listId) {
            listX = control.x;
            listY = control.y;
        }
    }
    for (const res::ControlTemplate& control : res::kMainTemplate) {
        const int dx = control.x - listX;
        if (control.kind == res::ControlKind::Label && !control.hidden && control.y < listY &&
            dx >= -kLabelColumnSlack && dx <= kLabelColumnSlack) {
            return control.text;
        }
    }
    return "";
}

// The caption of the group box around control `id` in the window.
const char* GroupAround(int id) {
    const res::ControlTemplate* inner = nullptr;
    for (const res::ControlTemplate& control : res::kMainTemplate) {
        if (control.id == id) {
            inner = &control;
        }
    }
    if (inner == nullptr) {
        return "";
    }
    for (const res::ControlTemplate& group : res::kMainTemplate) {
        if (group.kind == res::ControlKind::Group && inner->x >= group.x && inner->y >= group.y &&
            inner->x < group.x + group.width && inner->y < group.y + group.height) {
            return group.text;
        }
    }
    return "";
}

// The search text without the dots the window adds one by one.
std::string SearchingText() {
    std::string searching = text::kSearching;
    while (!searching.empty() && searching.back() == '.') {
        searching.pop_back();
    }
    return searching;
}

std::string PageTables() {
    std::string out = "{";
    AppendList(out, "parity", lists::kParities);
    AppendList(out, "databits", lists::kDataBits);
    AppendList(out, "stopbits", lists::kStopBits);
    AppendJsonString(out, "texts");
    out += ":{";
    AppendText(out, "searching", SearchingText().c_str());
    AppendText(out, "found", text::kDeviceFound);
    AppendText(out, "failed", text::kUpgradeFailed);
    AppendText(out, "succeeded", text::kUpgradeSucceeded);
    AppendText(out, "stopped", text::kUpgradeStopped);
    AppendText(out, "readFailed", text::kOpenFileFailed);
    AppendText(out, "openPortFirst", text::kOpenPortFirst);
    AppendText(out, "chooseFileFirst", text::kChooseFile);
    AppendText(out, "portUnavailable", text::kPortUnavailable);
    AppendText(out, "open", text::kOpenCaption);
    AppendText(out, "close", text::kCloseCaption);
    AppendText(out, "ok", text::kOkButton);
    AppendText(out, "start", ControlText(IDC_START));
    AppendText(out, "stop", ControlText(IDC_STOP));
    AppendText(out, "parityLabel", LabelOver(IDC_PARITY_LIST));
    AppendText(out, "databitsLabel", LabelOver(IDC_DATA_BITS_LIST));
    AppendText(out, "stopbitsLabel", LabelOver(IDC_STOP_BITS_LIST));
    AppendText(out, "portGroup", GroupAround(IDC_PORT_LIST));
    AppendText(out, "upgradeGroup", GroupAround(IDC_START));
    AppendText(out, "infoLabel", GroupAround(IDC_INFO_LINE));
    out.back() = '}';  // in place of the last comma
    out += '}';
    return out;
}

}  // namespace
}  // namespace tarvik

// The entry points of the page's script.
extern "C" {

EMSCRIPTEN_KEEPALIVE void tarvik_page_open_close() {
    tarvik::Page().OnOpenClose();
}
EMSCRIPTEN_KEEPALIVE void tarvik_page_line_lost() {
    tarvik::Page().OnLineLost();
}
EMSCRIPTEN_KEEPALIVE void tarvik_page_line_reopened() {
    tarvik::Page().OnLineReopened();
}
EMSCRIPTEN_KEEPALIVE void tarvik_page_start(const char* path, const char* name) {
    tarvik::Page().OnStart(path, name);
}
EMSCRIPTEN_KEEPALIVE void tarvik_page_stop() {
    tarvik::Page().OnStop();
}
EMSCRIPTEN_KEEPALIVE void tarvik_page_timer(int id) {
    tarvik::Page().OnTimer(id);
}
EMSCRIPTEN_KEEPALIVE void tarvik_page_received(const uint8_t* bytes, uint32_t count,
                                               double arrivalMs) {
    tarvik::Page().OnReceived(bytes, count, arrivalMs);
}
// The image check Start makes, for a file the operator has just chosen: nonzero when the
// bytes are a firmware image (the marker is there).
EMSCRIPTEN_KEEPALIVE int tarvik_page_image_ok(const uint8_t* bytes, uint32_t count) {
    return tarvik::CheckImage(bytes, count) != tarvik::kImageRejected ? 1 : 0;
}
// The image size the engine takes at most, bytes.
EMSCRIPTEN_KEEPALIVE uint32_t tarvik_page_image_capacity() {
    return tarvik::kFirmwareCapacity;
}
// The lists' items and the shared texts (UTF-8 JSON); valid until the page ends.
EMSCRIPTEN_KEEPALIVE const char* tarvik_page_tables() {
    static const std::string tables = tarvik::PageTables();
    return tables.c_str();
}

}  // extern "C"

int main() {
    tarvik::Page();  // the engine exists before the first event
    return 0;
}
