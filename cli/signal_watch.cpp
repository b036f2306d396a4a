#include "cli/signal_watch.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace tarvik::cli {

CSignalWatch::CSignalWatch(std::function<void()> onSignal) : m_onSignal(std::move(onSignal)) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    m_signalFd = signalfd(-1, &set, SFD_CLOEXEC);
    m_quitFd = eventfd(0, EFD_CLOEXEC);
    if (m_signalFd >= 0 && m_quitFd >= 0) {
        m_thread = std::thread([this] { Run(); });
    }
}

CSignalWatch::~CSignalWatch() {
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        while (write(m_quitFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
        m_thread.join();
    }
    if (m_signalFd >= 0) {
        close(m_signalFd);
    }
    if (m_quitFd >= 0) {
        close(m_quitFd);
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
