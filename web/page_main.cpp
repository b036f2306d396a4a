// The page's side of the upgrade: the engine the desktop tools use, driven by the browser's
// event loop. The page's script (web/page.js) forwards the buttons, the timers' ticks and the
// bytes the port reads; everything the engine shows goes back to it as Module.tarvikView
// calls. One thread: every entry point below runs on the page's only thread, between events.
#include <emscripten.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "serial/com_port.h"
#include "serial/com_port_web.h"
#include "upgrade/driver.h"
#include "upgrade/engine.h"
#include "upgrade/frames.h"
#include "upgrade/reader.h"
#include "upgrade/texts.h"

namespace tarvik {
namespace {

// The Open/Close button's captions, as in the window.
constexpr char kOpenCaption[] = "打开";
constexpr char kCloseCaption[] = "关闭";
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

// clang-format off
EM_JS(void, view_set_text, (const char* id, const char* utf8), {
    Module.tarvikView.setText(UTF8ToString(id), UTF8ToString(utf8));
});
EM_JS(void, view_enable, (const char* id, int enabled), {
    Module.tarvikView.enable(UTF8ToString(id), enabled !== 0);
});
EM_JS(void, view_progress_range, (uint32_t minimum, uint32_t maximum), {
    Module.tarvikView.progressRange(minimum >>> 0, maximum >>> 0);
});
EM_JS(void, view_progress_pos, (uint32_t position), {
    Module.tarvikView.progressPos(position >>> 0);
});
EM_JS(void, view_message, (const char* utf8), { Module.tarvikView.message(UTF8ToString(utf8)); });
EM_JS(void, view_lamp, (int lit), { Module.tarvikView.lamp(lit !== 0); });
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
                ShowMessage(text::kPortUnavailable);
                return;
            }
            m_gatherer.Clear();
            view_lamp(1);
            view_set_text("port-open", kCloseCaption);
            return;
        }
        ClosePort();
    }

    // The script lost the port: unplugged, or an operation on it failed.
    void OnLineLost() {
        if (!m_port.IsOpen()) {
            return;
        }
        ClosePort();
        ShowMessage(text::kPortUnavailable);
    }

    void OnStart(const char* path, const char* name) { m_engine.Start(path, name); }
    void OnStop() { m_engine.OnStop(); }
    void OnTimer(int id) { m_engine.OnTimer(id); }

    // A chunk read from the port at `arrivalMs` (the page's clock).
    void OnReceived(const uint8_t* bytes, uint32_t count, double arrivalMs) {
        if (m_gatherer.Count() != 0 && arrivalMs - m_lastArrivalMs > kStalePartialMs) {
            DeliverReply();
        }
        m_lastArrivalMs = arrivalMs;
        while (count != 0) {
            const uint32_t taken = m_gatherer.Take(bytes, count);
            bytes += taken;
            count -= taken;
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
    void SetInfoText(const std::string& utf8) override { view_set_text("info", utf8.c_str()); }
    void SetStatusText(const std::string& utf8) override { view_set_text("phase", utf8.c_str()); }
    void SetProgressRange(uint32_t minimum, uint32_t maximum) override {
        view_progress_range(minimum, maximum);
    }
    void SetProgressPos(uint32_t position) override { view_progress_pos(position); }
    void EnableStart(bool enabled) override {
        m_startEnabled = enabled;
        view_enable("start", enabled ? 1 : 0);
    }
    bool IsStartEnabled() const override { return m_startEnabled; }
    // The page's message box does not block: the engine shows a message only as the last
    // thing it does in a handler, so nothing it does waits for the box to be closed.
    void ShowMessage(const std::string& utf8) override { view_message(utf8.c_str()); }
    LineSelections Selections() const override {
        return LineSelections{view_selection("databits"), view_selection("parity"),
                              view_selection("stopbits")};
    }
    // The page's thread must not block: the pause is the line's, so the frame the engine
    // sends next goes out that much later, which is what the wait is for.
    void Wait(std::chrono::milliseconds duration) override { PauseWebLine(duration); }
    CComPort& Port() override { return m_port; }

private:
    void ClosePort() {
        m_port.Close();
        m_engine.OnPortClosed();
        m_gatherer.Clear();
        view_lamp(0);
        view_set_text("port-open", kOpenCaption);
    }

    void DeliverReply() {
        const uint32_t count = m_gatherer.Count();
        uint8_t reply[kCmdFrameSize];
        for (uint32_t i = 0; i < count; ++i) {
            reply[i] = m_gatherer.Data()[i];
        }
        m_gatherer.Clear();
        m_engine.OnFrameReceived(reply, count);
    }

    CComPort m_port;
    CUpgradeEngine m_engine;
    bool m_startEnabled = true;
    uint8_t m_reply[kCmdFrameSize] = {};
    CReplyGatherer m_gatherer;
    double m_lastArrivalMs = 0.0;
};

CWebPage& Page() {
    static CWebPage page;
    return page;
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

}  // extern "C"

int main() {
    tarvik::Page();  // the engine exists before the first event
    return 0;
}
