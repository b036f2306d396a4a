#include "cli/signal_watch.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace tarvik::cli {

CSignalWatch::CSignalWatch(std::function<void()> onSignal) : m_onSignal(std::move(onSignal)) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &set, &previous);
    m_signalFd = signalfd(-1, &set, SFD_CLOEXEC);
    m_quitFd = eventfd(0, EFD_CLOEXEC);
    if (m_signalFd >= 0 && m_quitFd >= 0) {
        try {
            m_thread = std::thread([this] { Run(); });
            return;
        } catch (const std::system_error&) {
            // No thread to take the signals (memory or threads used up): handled below.
        }
    }
    // Blocked with nobody to take them, Ctrl-C and SIGTERM would be lost and the program
    // could not be stopped. Without a watcher they keep their default effect instead:
    // they end the program at once, and the system closes its ports.
    CloseDescriptors();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

CSignalWatch::~CSignalWatch() {
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        while (write(m_quitFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
        m_thread.join();
    }
    CloseDescriptors();
}

void CSignalWatch::CloseDescriptors() {
    if (m_signalFd >= 0) {
        close(m_signalFd);
        m_signalFd = -1;
    }
    if (m_quitFd >= 0) {
        close(m_quitFd);
        m_quitFd = -1;
    }
}

void CSignalWatch::Run() {
    for (;;) {
        pollfd fds[2] = {{m_signalFd, POLLIN, 0}, {m_quitFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (read(m_signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                int expected = 0;
                m_raised.compare_exchange_strong(expected, static_cast<int>(info.ssi_signo));
                if (m_onSignal) {
                    m_onSignal();
                }
            }
        }
    }
}

}  // namespace tarvik::cli
