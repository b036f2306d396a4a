// The real-time driver of programs without a window: timers on steady_clock and replies
// from each port's reader, all handled on the one thread that runs the loop; each port's
// writes and settings changes on that port's reader thread, the line's one thread.
#include "upgrade/loop_driver.h"

#include <algorithm>

namespace tarvik {

namespace {

constexpr uint32_t kQueueSize = 1024;             // bytes, both directions, as the window asks
constexpr uint32_t kReadTimeoutsIgnored = 10000;  // second argument of the read preset
// A timer armed with no period still gives the loop room to breathe between its ticks.
constexpr std::chrono::milliseconds kShortestPeriod{1};
// While the port closes: how long one wait for a last reply from the reader lasts.
constexpr std::chrono::milliseconds kClosingDeliverySlice{10};

}  // namespace

// ---- CEventLoop ----

bool CEventLoop::RunUntil(const std::function<bool()>& done, Clock::time_point deadline) {
    for (;;) {
        if (done()) {
            return true;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            return done();
        }
        Clock::time_point next = deadline;
        bool acted = false;
        // One event per driver per round: no port starves the others.
        for (size_t i = 0; i < m_drivers.size(); ++i) {
            if (m_drivers[i]->ServiceOne(now, next)) {
                acted = true;
                if (done()) {
                    return true;
                }
            }
        }
        if (acted) {
            continue;  // more may be due already: look again before sleeping
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_until(lock, next, [&] { return m_woken; });
        m_woken = false;
    }
}

void CEventLoop::RunOthersUntil(Clock::time_point until) {
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= until) {
            return;
        }
        Clock::time_point next = until;
        bool acted = false;
        for (size_t i = 0; i < m_drivers.size(); ++i) {
            if (!m_drivers[i]->m_waiting && m_drivers[i]->ServiceOne(now, next)) {
                acted = true;
            }
        }
        if (acted) {
            continue;
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_until(lock, next, [&] { return m_woken; });
        m_woken = false;
    }
}

void CEventLoop::Wake() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_woken = true;
    }
    m_cv.notify_all();
}

void CEventLoop::Attach(CLoopDriver* driver) {
    m_drivers.push_back(driver);
}

void CEventLoop::Detach(CLoopDriver* driver) {
    m_drivers.erase(std::remove(m_drivers.begin(), m_drivers.end(), driver), m_drivers.end());
}

// ---- CLoopDriver ----

CLoopDriver::CLoopDriver(CEventLoop& loop, LineSelections selections)
    : m_loop(loop),
      m_selections(selections),
      m_handOver([this] { m_loop.Wake(); }),
      m_engine(*this) {
    m_loop.Attach(this);
}

CLoopDriver::~CLoopDriver() {
    m_port.DropQueued();
    m_reader.StopAndJoin();  // closes the port: line work under way ends with it
    m_port.DetachLine();
    m_loop.Detach(this);
}

uint32_t CLoopDriver::OpenPort(const std::string& deviceName, uint32_t baud, bool* readerFailed) {
    if (readerFailed != nullptr) {
        *readerFailed = false;
    }
    // The previous reader still owns the port until it has closed it and ended.
    if (m_reader.Running()) {
        return kErrAlreadyInitialized;
    }
    const uint32_t result = m_port.Open(deviceName.c_str(), kQueueSize, kQueueSize);
    if (result != kErrSuccess) {
        return result;
    }
    m_port.SetupHandshaking(kHandshakeOff);
    m_port.Setup(baud, static_cast<uint8_t>(m_selections.dataBitsIndex + kDataBitsIndexBase),
                 static_cast<uint8_t>(m_selections.parityIndex),
                 static_cast<uint8_t>(m_selections.stopBitsIndex));
    m_port.SetupReadTimeouts(kReadTimed, kReadTimeoutsIgnored);
    uint32_t started = kErrSuccess;
    m_port.AttachLine([this] { m_handOver.Nudge(); });
    if (!m_reader.Start(m_port, m_handOver, &started, &m_port)) {
        // A port that nothing reads would never deliver a reply, nor send a frame: leave it
        // closed.
        m_port.DetachLine();
        m_port.Close();
        if (readerFailed != nullptr) {
            *readerFailed = true;
        }
        return started;
    }
    return kErrSuccess;
}

void CLoopDriver::RequestClose() {
    m_engine.OnPortClosed();
    m_port.DropQueued();
    m_reader.RequestStop();
}

void CLoopDriver::ClosePort() {
    RequestClose();
    const CReplyHandOver::Handler handle = [this](const uint8_t* data, uint32_t count) {
        HandleReply(data, count);
    };
    while (m_reader.Running()) {
        m_handOver.DeliverWithin(handle, kClosingDeliverySlice);
    }
    m_reader.StopAndJoin();  // it has ended: only its return is left
    m_port.DetachLine();     // the port is closed: nothing more can go out
}

void CLoopDriver::HandleReply(const uint8_t* data, uint32_t count) {
    // The reader waits until this is over and then sends what the engine asked for: waking
    // it for each frame meanwhile would only cost a wake-up.
    m_port.HoldWakes(true);
    m_engine.OnFrameReceived(data, count);
    m_port.HoldWakes(false);
}

std::string CLoopDriver::Info() const {
    return m_info;
}
std::string CLoopDriver::Status() const {
    return m_status;
}
uint32_t CLoopDriver::ProgressMax() const {
    return m_progressMax;
}
uint32_t CLoopDriver::ProgressPos() const {
    return m_progressPos;
}
std::vector<std::string> CLoopDriver::Messages() const {
    return m_messages;
}
bool CLoopDriver::AnyTimerArmed() const {
    return !m_timers.empty();
}

void CLoopDriver::ArmTimer(int id, std::chrono::milliseconds period) {
    period = std::max(period, kShortestPeriod);
    m_timers[id] = Timer{period, Clock::now() + period};
}

void CLoopDriver::StopTimer(int id) {
    m_timers.erase(id);
}

void CLoopDriver::SetInfoText(const std::string& utf8) {
    m_info = utf8;
    Changed();
}

void CLoopDriver::SetStatusText(const std::string& utf8) {
    m_status = utf8;
    Changed();
}

void CLoopDriver::SetProgressRange(uint32_t /*minimum*/, uint32_t maximum) {
    m_progressMax = maximum;
    Changed();
}

void CLoopDriver::SetProgressPos(uint32_t position) {
    m_progressPos = position;
    Changed();
}

void CLoopDriver::EnableStart(bool enabled) {
    m_startEnabled = enabled;
    Changed();
}

bool CLoopDriver::IsStartEnabled() const {
    return m_startEnabled;
}

void CLoopDriver::ShowMessage(const std::string& utf8) {
    m_messages.push_back(utf8);  // nobody to press OK: it is recorded and closed at once
    Changed();
}

LineSelections CLoopDriver::Selections() const {
    return m_selections;
}

void CLoopDriver::Wait(std::chrono::milliseconds duration) {
    // The loop's thread serves every port of a run: a sleep here would stall every other
    // board's transfer for this one's pause. Their replies and timers go on meanwhile; this
    // driver's own wait until the pause is over, as they would behind a window's sleep.
    // What the engine asked of the line before the pause (a settings change) is done now,
    // not after it.
    m_port.WakeLine();
    m_waiting = true;
    m_loop.RunOthersUntil(Clock::now() + duration);
    m_waiting = false;
}

void CLoopDriver::Trace(TraceDirection direction, const uint8_t* bytes, size_t length) {
    if (onTrace) {
        onTrace(direction, bytes, length);
    }
}

void CLoopDriver::Changed() {
    if (onChange) {
        onChange();
    }
}

bool CLoopDriver::ServiceOne(Clock::time_point now, Clock::time_point& next) {
    if (m_handOver.Deliver(
            [this](const uint8_t* data, uint32_t count) { HandleReply(data, count); })) {
        return true;
    }
    auto earliest = std::min_element(m_timers.begin(), m_timers.end(),
                                     [](auto& a, auto& b) { return a.second.due < b.second.due; });
    if (earliest == m_timers.end()) {
        return false;
    }
    Timer& timer = earliest->second;
    if (timer.due > now) {
        next = std::min(next, timer.due);
        return false;
    }
    // The next tick keeps the timer's rhythm; ticks missed while the thread was busy are
    // dropped rather than fired in a burst.
    Clock::time_point due = timer.due + timer.period;
    if (due <= now) {
        due += timer.period * ((now - due) / timer.period + 1);
    }
    timer.due = due;
    // Scheduled before the tick: a handler that re-arms or stops this timer has the last word.
    m_engine.OnTimer(earliest->first);
    return true;
}

}  // namespace tarvik
