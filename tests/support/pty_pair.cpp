#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace tarvik::testing {

PtyPair::PtyPair() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        throw std::runtime_error("cannot open a pseudo-terminal");
    }
    m_slavePath = ptsname(m_master);
    termios tio{};
    tcgetattr(m_master, &tio);
    cfmakeraw(&tio);
    tcsetattr(m_master, TCSANOW, &tio);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // Keep one slave descriptor open so that reads on the master do not report a hang-up
    // between the tool's Close and a later Open.
    m_slaveKeep = open(m_slavePath.c_str(), O_RDWR | O_NOCTTY);
    if (m_slaveKeep >= 0) {
        termios s{};
        tcgetattr(m_slaveKeep, &s);
        cfmakeraw(&s);
        tcsetattr(m_slaveKeep, TCSANOW, &s);
    }
}

PtyPair::~PtyPair() {
    closeMaster();
    if (m_slaveKeep >= 0) {
        close(m_slaveKeep);
    }
}

void PtyPair::send(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{m_master, POLLOUT, 0};
            poll(&p, 1, 100);
        } else {
            throw std::runtime_error("write to the pseudo-terminal master failed");
        }
    }
}

void PtyPair::send(const std::string& text) { send(std::vector<uint8_t>(text.begin(), text.end())); }

std::vector<uint8_t> PtyPair::receive(size_t count, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{m_master, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        uint8_t buf[4096];
        ssize_t n = read(m_master, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            break;
        }
    }
    return out;
}

void PtyPair::closeMaster() {
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
}

}  // namespace tarvik::testing
