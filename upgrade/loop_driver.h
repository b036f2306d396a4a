// A real-time driver of the upgrade engine for programs without a window: the command line
// and the end-to-end tests. One thread runs a CEventLoop; any number of CLoopDrivers (one
// per port, each with its own engine, port and reader) live on it.
//
// Timers by id run on steady_clock; replies come from each port's reader through a
// synchronous hand-over and are handled on the loop's thread, between timer ticks, so no
// engine handler ever interrupts another, as in the window.
//
// Each port has one thread of its own, its reader, which also does the port's line work
// (CQueuedPort): a frame's write, which lasts until its bytes have left the line, and a
// line-settings change, which waits for them. The loop's thread only asks for it and goes
// on, so one port's write or drain never holds up another port's replies, timers or writes:
// every port's exchanges run side by side. A block exchange wakes the loop's thread once (the
// reply) and the reader once (handled: the next frame is waiting), and no other thread.
// onChange and onTrace still come from the loop's thread only, and everything the views read
// (Info, Status, the progress, the engine) is touched by the loop's thread only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "serial/com_port.h"
#include "upgrade/driver.h"
#include "upgrade/engine.h"
#include "upgrade/queued_port.h"
#include "upgrade/reader.h"

namespace tarvik {

class CLoopDriver;

class CEventLoop {
public:
    using Clock = std::chrono::steady_clock;

    // Runs timers and hand-overs of every attached driver until `done()` returns true
    // (checked after every event) or `deadline` passes. Sleeps while nothing is due.
    // Returns done().
    bool RunUntil(const std::function<bool()>& done, Clock::time_point deadline);
    // Any thread: makes RunUntil look at its drivers again (a reply waits, a stop request).
    void Wake();

private:
    friend class CLoopDriver;
    void Attach(CLoopDriver* driver);
    void Detach(CLoopDriver* driver);
    // Loop thread, from inside a driver's Wait: runs the events of every driver that is not
    // itself waiting until `until`, so that one port's pause does not hold up the others.
    void RunOthersUntil(Clock::time_point until);

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_woken = false;
    std::vector<CLoopDriver*> m_drivers;  // loop thread only
};

class CLoopDriver : public IUpgradeDriver {
public:
    using Clock = CEventLoop::Clock;

    CLoopDriver(CEventLoop& loop, LineSelections selections = {});
    ~CLoopDriver() override;  // stops the reader and waits for it

    // Opens the port as the window does: Open(name, 1024, 1024), handshaking off, Setup with
    // `baud` and the selections, read mode 1; then starts the port's reader, which also does
    // its line work. Returns Open's code, or, with the port closed again, the errno of a
    // reader thread that could not start (`readerFailed`, if given, tells the two apart).
    uint32_t OpenPort(const std::string& deviceName, uint32_t baud, bool* readerFailed = nullptr);
    // As the window's Open/Close button: the resend timer stops (the engine's OnPortClosed),
    // line work not yet begun is dropped, the reader is asked to close the port, and this
    // waits until it has (handling a reply the reader still hands over on its way out) and
    // ended.
    void ClosePort();
    // The first half of ClosePort, which does not wait: a front end with many ports asks
    // every reader first, so that the ports close together rather than one read time-out
    // (up to 100 ms) after another. ClosePort then waits for each.
    void RequestClose();

    CUpgradeEngine& Engine() { return m_engine; }

    // What a window would show.
    std::string Info() const;
    std::string Status() const;
    uint32_t ProgressMax() const;
    uint32_t ProgressPos() const;
    std::vector<std::string> Messages() const;  // every message box shown, in order
    bool AnyTimerArmed() const;

    // Called on the loop's thread (never on a port's reader thread) after every change of
    // the lines, the progress, the Start button or the messages (for a progress display), and for
    // every frame on the line (for a trace).
    std::function<void()> onChange;
    std::function<void(TraceDirection, const uint8_t*, size_t)> onTrace;

    // IUpgradeDriver
    void ArmTimer(int id, std::chrono::milliseconds period) override;
    void StopTimer(int id) override;
    void SetInfoText(const std::string& utf8) override;
    void SetStatusText(const std::string& utf8) override;
    void SetProgressRange(uint32_t minimum, uint32_t maximum) override;
    void SetProgressPos(uint32_t position) override;
    void EnableStart(bool enabled) override;
    bool IsStartEnabled() const override;
    void ShowMessage(const std::string& utf8) override;
    LineSelections Selections() const override;
    void Wait(std::chrono::milliseconds duration) override;
    CComPort& Port() override { return m_port; }
    void Trace(TraceDirection direction, const uint8_t* bytes, size_t length) override;

private:
    friend class CEventLoop;
    struct Timer {
        std::chrono::milliseconds period;
        Clock::time_point due;
    };
    // Loop thread: handles one event: a waiting reply first (as a window handles a sent
    // message before its timers), else the earliest timer due at `now`. True when it did;
    // otherwise lowers `next` to the time the earliest timer falls due.
    bool ServiceOne(Clock::time_point now, Clock::time_point& next);
    // Loop thread: a reply handed over, to the engine.
    void HandleReply(const uint8_t* data, uint32_t count);
    void Changed();

    CEventLoop& m_loop;
    LineSelections m_selections;
    CQueuedPort m_port;
    CReplyHandOver m_handOver;
    CReplyReader m_reader;
    CUpgradeEngine m_engine;
    std::map<int, Timer> m_timers;
    std::string m_info;
    std::string m_status;
    uint32_t m_progressMax = 0;
    uint32_t m_progressPos = 0;
    bool m_startEnabled = true;
    bool m_waiting = false;  // inside Wait: its own events wait, the other drivers' go on
    std::vector<std::string> m_messages;
};

}  // namespace tarvik
