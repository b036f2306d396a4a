// SIGINT and SIGTERM as a request to stop, seen on a thread of their own.
//
// The constructor blocks both signals in the calling thread; threads started afterwards
// (the port readers) inherit the mask, so no signal ever interrupts a port operation. A
// watcher thread takes them from a signalfd and reports them through `onSignal`, which may
// call only thread-safe code (CEventLoop::Wake). Create it before any other thread starts.
// If the watcher cannot start (no memory for a thread), the signals are left unblocked and
// keep their default effect: the program ends at once, rather than not at all.
#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

namespace tarvik::cli {

class CSignalWatch {
public:
    explicit CSignalWatch(std::function<void()> onSignal);
    // Ends the watcher. The signals stay blocked: a second Ctrl-C while the ports close must
    // not kill the program half-way, and it exits right after.
    ~CSignalWatch();
    CSignalWatch(const CSignalWatch&) = delete;
    CSignalWatch& operator=(const CSignalWatch&) = delete;

    // The first signal taken (SIGINT or SIGTERM), 0 while none came. Any thread.
    int Raised() const { return m_raised.load(); }
    // The watcher runs: the signals are blocked and come through Raised().
    bool Watching() const { return m_thread.joinable(); }

private:
    void Run();
    void CloseDescriptors();

    std::function<void()> m_onSignal;
    int m_signalFd = -1;
    int m_quitFd = -1;  // eventfd that ends the watcher
    std::atomic<int> m_raised{0};
    std::thread m_thread;
};

}  // namespace tarvik::cli
