// Ctrl-C, Ctrl-Break and the console's close as a request to stop.
//
// The system calls the handler on a thread of its own. Ctrl-C and Ctrl-Break only report;
// for a close, logoff or shutdown the process ends as soon as the handler returns, so the
// handler holds on (within the few seconds the system grants) until the watch is destroyed,
// that is until the ports are stopped and closed.
#include <windows.h>

#include <condition_variable>
#include <mutex>

#include "cli/signal_watch.h"

namespace tarvik::cli {

namespace {

// How long a close event waits for the ports to close; the system ends the process after
// about five seconds whatever the handler does.
constexpr auto kCloseGrace = std::chrono::milliseconds(4500);

// The one watch of the process, for the handler (the system's callback takes no context).
std::mutex g_mutex;
std::condition_variable g_gone;
std::function<void(int)>* g_raise = nullptr;  // set while a watch lives

int SignalOf(DWORD type) {
    return type == CTRL_C_EVENT ? SIGINT : SIGTERM;
}

BOOL WINAPI OnConsoleEvent(DWORD type) {
    std::unique_lock lock(g_mutex);
    if (g_raise == nullptr) {
        return TRUE;  // the watch has ended and the program is on its way out
    }
    (*g_raise)(SignalOf(type));
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        g_gone.wait_for(lock, kCloseGrace, [] { return g_raise == nullptr; });
    }
    return TRUE;
}

}  // namespace

CSignalWatch::CSignalWatch(std::function<void()> onSignal) : m_onSignal(std::move(onSignal)) {
    static std::function<void(int)> raise;
    raise = [this](int signal) {
        int expected = 0;
        m_raised.compare_exchange_strong(expected, signal);
        if (m_onSignal) {
            m_onSignal();
        }
    };
    {
        std::lock_guard lock(g_mutex);
        g_raise = &raise;
    }
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

CSignalWatch::~CSignalWatch() {
    // Stays installed: a second Ctrl-C while the ports close must not kill the program half-
    // way, and it exits right after. Later events find no watch and are taken as handled.
    std::lock_guard lock(g_mutex);
    g_raise = nullptr;
    g_gone.notify_all();
}

}  // namespace tarvik::cli
