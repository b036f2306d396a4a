#include "event_loop.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <sstream>

#include "line_settings.h"
#include "scanner.h"
#include "summary.h"
#include "transmitter.h"

namespace tarvik::sim {

namespace {

// A partial frame whose bytes stop coming for this long is dropped: the tool always writes
// a whole frame at once, so the rest is not coming.
constexpr std::chrono::milliseconds kStaleFrameGap{200};
constexpr std::size_t kReadChunk = 4096;
// Before the board ends by itself (--once, --vanish-after) the tool is given time to read its
// last reply: closing the master throws away whatever the tool has not read. The queue is
// looked at every kDrainPoll, no sooner than kDrainSettle after the last write (the kernel
// moves written bytes into the queue a moment later), and for kDrainLimit at most, for a
// tool that has closed its port.
constexpr std::chrono::milliseconds kDrainPoll{10};
constexpr std::chrono::milliseconds kDrainSettle{30};
constexpr std::chrono::seconds kDrainLimit{2};

enum class Reason { kOnce, kTimeout, kSignal, kVanish, kLine };

// Where a board of a row is: taking an upgrade in boot mode, finished but still answering
// enter-upgrade (--stay), or running its application and silent (--swap).
enum class RowPhase { kBoot, kStaying, kSwapping };

BoardSettings settingsOfBoard(const Options& options, std::uint64_t board) {
    BoardSettings settings = options.board;
    if (options.row) {
        settings.faults = options.board.faults.forBoard(board);
        const auto& wrong = options.wrongSumBoards;
        settings.wrongSum =
            settings.wrongSum || std::find(wrong.begin(), wrong.end(), board) != wrong.end();
    }
    return settings;
}

const char* reasonName(Reason r) {
    switch (r) {
        case Reason::kOnce:
            return "once";
        case Reason::kTimeout:
            return "timeout";
        case Reason::kSignal:
            return "signal";
        case Reason::kVanish:
            return "vanish";
        case Reason::kLine:
            return "line";
    }
    return "?";
}

std::string hex(const Bytes& bytes) {
    std::string out;
    char buf[4];
    for (Byte b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x ", b);
        out += buf;
    }
    if (!out.empty()) {
        out.pop_back();
    }
    return out;
}

// Writes the image through a temporary file, so that a reader never sees half of it.
void writeImage(const std::string& path, const Bytes& image) {
    const std::string temp = path + ".part";
    {
        std::ofstream f(temp, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(image.data()),
                static_cast<std::streamsize>(image.size()));
        if (!f) {
            std::cerr << "tarvik-sim: cannot write " << temp << "\n";
            return;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::cerr << "tarvik-sim: cannot write " << path << ": " << std::strerror(errno) << "\n";
    }
}

class EventLoop {
public:
    EventLoop(const Options& options, BoardPort& port, int signalFd)
        : m_options(options),
          m_port(port),
          m_signalFd(signalFd),
          m_board(settingsOfBoard(options, 1)),
          m_tx(options.pace),
          m_started(Clock::now()),
          m_bootEnd(m_started + options.bootAfter),
          m_deviceBaud(options.board.baud) {
        if (options.timeout) {
            m_deadline = m_started + *options.timeout;
        }
    }

    int run() {
        const Reason reason = loop();
        // A board of a row that finished has its file already; the next one has none until
        // it has taken something.
        if (m_options.out &&
            (!m_options.row ||
             (m_rowPhase == RowPhase::kBoot && (m_boardNumber == 1 || !m_board.image().empty())))) {
            writeImage(outPathFor(*m_options.out, m_boardNumber), m_board.image());
        }
        std::cout << summaryJson(m_board, m_scanner.badFrames(), m_turnarounds, reasonName(reason),
                                 RowCounts{m_boardsFinished, m_upgradesBefore})
                  << std::endl;
        m_port.close();
        const bool gaveUp = reason == Reason::kTimeout && m_options.once && !m_completed;
        return gaveUp || reason == Reason::kLine ? kExitTimedOut : kExitOk;
    }

private:
    Reason loop() {
        for (;;) {
            const Clock::time_point now = Clock::now();
            if (m_deadline && now >= *m_deadline) {
                return Reason::kTimeout;
            }
            do {
                while (auto frame = m_scanner.next()) {
                    m_pending.push_back(std::move(*frame));
                }
            } while (m_scanner.expire(now, kStaleFrameGap));
            advanceRow(now);
            handleDueFrames(now);
            if (!transmit(now)) {
                return Reason::kLine;
            }
            followBoardRate();
            m_draining = false;
            if ((m_vanishing || (m_options.once && m_completed)) && m_tx.idle() && delivered(now)) {
                return m_vanishing ? Reason::kVanish : Reason::kOnce;
            }
            if (auto r = wait(now)) {
                return *r;
            }
        }
    }

    // A finished board of a row stays, then runs its application, then the next board is on
    // the line in boot mode.
    void advanceRow(Clock::time_point now) {
        if (m_rowPhase == RowPhase::kBoot || now < m_rowPhaseEnd) {
            return;
        }
        if (m_rowPhase == RowPhase::kStaying) {
            m_rowPhase = RowPhase::kSwapping;
            m_rowPhaseEnd = now + m_options.swap;
            traceRow("application running");
            return;
        }
        if (m_boardNumber >= m_options.boards) {
            m_rowPhaseEnd = Clock::time_point::max();  // the row is done: silent from now on
            return;
        }
        m_upgradesBefore += m_board.stats().upgrades;
        ++m_boardNumber;
        m_board = Board(settingsOfBoard(m_options, m_boardNumber));
        m_rowPhase = RowPhase::kBoot;
        traceRow("in boot mode");
    }

    void traceRow(const char* what) {
        if (m_options.trace) {
            std::cerr << "board " << m_boardNumber << ": " << what << "\n";
        }
    }

    // A board of the row took its finish command, refused a frame or answered a wrong sum.
    void finishRowBoard(Clock::time_point now) {
        ++m_boardsFinished;
        m_rowPhase = m_options.stay.count() > 0 ? RowPhase::kStaying : RowPhase::kSwapping;
        m_rowPhaseEnd = now + (m_options.stay.count() > 0 ? m_options.stay : m_options.swap);
        traceRow(m_rowPhase == RowPhase::kStaying ? "finished, staying" : "application running");
    }

    // A frame while the board on the line is not in boot mode: a staying board answers
    // enter-upgrade at its own rate and nothing else; a running application answers nothing.
    void handleOutsideBoot(const ReceivedFrame& frame, Clock::time_point now) {
        const bool answer = m_rowPhase == RowPhase::kStaying &&
                            frame.bytes[kStepOffset] == kStepEnterUpgrade &&
                            frame.baud == m_options.board.baud;
        if (m_options.trace) {
            std::cerr << "rx " << hex(frame.bytes) << " @" << frame.baud
                      << (answer ? " answered by the finished board"
                                 : " ignored by the application")
                      << "\n";
        }
        if (answer) {
            m_tx.schedule(now,
                          makeReply(frame.bytes[kCommandOffset], kStepEnterUpgrade, {},
                                    m_options.board.endDot),
                          m_options.board.baud, true);
        }
    }

    // Whether the tool has had its chance to read everything the board sent.
    bool delivered(Clock::time_point now) {
        if (!m_drainStart) {
            m_drainStart = now;
            m_port.drainDevice();
        }
        if (now - *m_drainStart >= kDrainLimit) {
            return true;
        }
        if (m_lastWrite && now - *m_lastWrite < kDrainSettle) {
            m_draining = true;
            return false;
        }
        const auto unread = m_port.unreadByPeer();
        m_draining = unread && *unread > 0;
        return !m_draining;
    }

    // The line speed a frame arriving now was sent at. On a pty it is what the tool set on
    // its side; an existing device runs at the board's own rate, so a real UART is what
    // garbles a frame sent at another one.
    std::uint32_t lineSpeed() const {
        if (!m_port.isPty()) {
            return m_board.listenBaud();
        }
        return readLineSpeed(m_port.fd()).value_or(m_board.listenBaud());
    }

    void handleDueFrames(Clock::time_point now) {
        while (!m_pending.empty() && m_pending.front().complete <= now && !m_vanishing) {
            const ReceivedFrame frame = std::move(m_pending.front());
            m_pending.pop_front();
            if (m_rowPhase != RowPhase::kBoot) {
                handleOutsideBoot(frame, now);
                continue;
            }
            Outcome out = m_board.receive(frame.bytes, frame.baud);
            if (m_options.trace) {
                std::cerr << "rx " << hex(frame.bytes) << " @" << frame.baud << out.note << "\n";
                for (const Transmission& t : out.sends) {
                    std::cerr << "tx +" << t.after.count() << "ms " << hex(t.bytes) << "\n";
                }
            }
            if (out.imageComplete) {
                // Written before the answer goes out: once the tool reports success, the
                // file is whole.
                if (m_options.out) {
                    writeImage(outPathFor(*m_options.out, m_boardNumber), m_board.image());
                }
                if (m_options.row) {
                    finishRowBoard(now);
                } else {
                    m_completed = true;
                }
            } else if ((out.refused || out.wrongSum) && m_options.row) {
                // The tool has given up on this board: it is taken off like a finished one.
                if (m_options.out) {
                    writeImage(outPathFor(*m_options.out, m_boardNumber), m_board.image());
                }
                finishRowBoard(now);
            }
            if (m_options.row && m_boardsFinished >= m_options.boards) {
                m_completed = true;
            }
            for (Transmission& t : out.sends) {
                m_tx.schedule(now + t.after, std::move(t.bytes), t.baud, t.reply);
            }
            m_vanishing = m_vanishing || out.vanish;
        }
    }

    // On a device, the board's UART follows the rate the board listens at, once what it
    // was sending at the old rate has gone out.
    void followBoardRate() {
        if (m_port.isPty() || !m_tx.idle() || m_board.listenBaud() == m_deviceBaud) {
            return;
        }
        m_deviceBaud = m_board.listenBaud();
        if (!setLineSpeed(m_port.fd(), m_deviceBaud)) {
            std::cerr << "tarvik-sim: cannot set " << m_port.path() << " to " << m_deviceBaud
                      << " baud\n";
        }
    }

    // Writes what is ready. False when the line failed.
    bool transmit(Clock::time_point now) {
        m_blocked = false;
        for (;;) {
            const std::span<const Byte> bytes = m_tx.ready(now);
            if (bytes.empty()) {
                return true;
            }
            const ssize_t n = ::write(m_port.fd(), bytes.data(), bytes.size());
            if (n > 0) {
                m_lastWrite = Clock::now();
                if (m_tx.written(static_cast<std::size_t>(n), *m_lastWrite)) {
                    m_lastReplyEnd = m_lastWrite;
                }
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EAGAIN) {
                m_blocked = true;  // the other side does not read: wait until it does
                return true;
            }
            std::cerr << "tarvik-sim: writing " << m_port.path()
                      << " failed: " << std::strerror(errno) << "\n";
            return false;
        }
    }

    // Waits for the line, a signal or the next timed event. Returns a reason to end.
    std::optional<Reason> wait(Clock::time_point now) {
        std::optional<Clock::time_point> wake = m_deadline;
        auto earliest = [&wake](std::optional<Clock::time_point> t) {
            if (t && (!wake || *t < *wake)) {
                wake = t;
            }
        };
        if (!m_blocked) {
            earliest(m_tx.nextReady());
        }
        if (!m_pending.empty() && !m_vanishing) {
            earliest(m_pending.front().complete);
        }
        earliest(m_scanner.expiresAt(kStaleFrameGap));
        if (m_rowPhase != RowPhase::kBoot && m_rowPhaseEnd != Clock::time_point::max()) {
            earliest(m_rowPhaseEnd);
        }
        if (m_draining) {
            earliest(now + kDrainPoll);
        }

        timespec timeout{};
        timespec* timeoutPtr = nullptr;
        if (wake) {
            const auto left = std::max(std::chrono::nanoseconds(0), *wake - now);
            const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
            timeout.tv_sec = static_cast<time_t>(secs.count());
            timeout.tv_nsec = static_cast<long>((left - secs).count());
            timeoutPtr = &timeout;
        }
        pollfd fds[2] = {
            {m_port.fd(), static_cast<short>(POLLIN | (m_blocked ? POLLOUT : 0)), 0},
            {m_signalFd, POLLIN, 0},
        };
        const int ready = ppoll(fds, 2, timeoutPtr, nullptr);
        if (ready < 0) {
            if (errno == EINTR) {
                return std::nullopt;
            }
            std::cerr << "tarvik-sim: poll failed: " << std::strerror(errno) << "\n";
            return Reason::kLine;
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info{};
            [[maybe_unused]] ssize_t n = ::read(m_signalFd, &info, sizeof info);
            return Reason::kSignal;
        }
        if (fds[0].revents & POLLIN) {
            if (!receive()) {
                return Reason::kLine;
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            std::cerr << "tarvik-sim: " << m_port.path() << " hung up\n";
            return Reason::kLine;
        }
        return std::nullopt;
    }

    // Reads what arrived. False when the line failed.
    bool receive() {
        for (;;) {
            const std::uint32_t baud = lineSpeed();
            Byte buf[kReadChunk];
            const ssize_t n = ::read(m_port.fd(), buf, sizeof buf);
            const Clock::time_point at = Clock::now();
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EAGAIN) {
                return true;
            }
            if (n <= 0) {
                std::cerr << "tarvik-sim: reading " << m_port.path()
                          << " failed: " << (n == 0 ? "end of file" : std::strerror(errno)) << "\n";
                return false;
            }
            if (m_lastReplyEnd) {
                m_turnarounds.push_back(
                    std::chrono::duration_cast<std::chrono::microseconds>(at - *m_lastReplyEnd)
                        .count());
                m_lastReplyEnd.reset();
            }
            if (at < m_bootEnd) {
                if (m_options.trace) {
                    std::cerr << "rx ignored before power-up: " << n << " bytes\n";
                }
                continue;
            }
            const auto count = static_cast<std::size_t>(n);
            if (m_options.pace) {
                // The bytes cross the line one after the other, after whatever was still on it.
                const auto perByte = byteTime(baud);
                const Clock::time_point start = std::max(at, m_rxLineFree);
                m_rxLineFree = start + lineTime(count, baud);
                m_scanner.push(buf, count, start + perByte, perByte, baud);
            } else {
                m_scanner.push(buf, count, at, std::chrono::nanoseconds(0), baud);
            }
        }
    }

    const Options& m_options;
    BoardPort& m_port;
    int m_signalFd;
    Board m_board;
    FrameScanner m_scanner;
    Transmitter m_tx;
    std::deque<ReceivedFrame> m_pending;  // complete frames waiting for their time on the line
    Clock::time_point m_started;
    Clock::time_point m_bootEnd;
    std::optional<Clock::time_point> m_deadline;
    Clock::time_point m_rxLineFree{};
    std::optional<Clock::time_point> m_lastReplyEnd;
    std::optional<Clock::time_point> m_lastWrite;
    std::optional<Clock::time_point> m_drainStart;  // when the board began to end by itself
    std::vector<std::int64_t> m_turnarounds;
    std::uint32_t m_deviceBaud;
    bool m_blocked = false;
    bool m_completed = false;
    bool m_vanishing = false;
    bool m_draining = false;  // waiting for the tool to read the last reply
    // Boards in a row (--boards): the one on the line (1-based) and where it is.
    std::uint64_t m_boardNumber = 1;
    std::uint64_t m_boardsFinished = 0;
    std::uint64_t m_upgradesBefore = 0;
    RowPhase m_rowPhase = RowPhase::kBoot;
    Clock::time_point m_rowPhaseEnd{};
};

}  // namespace

int runBoard(const Options& options, BoardPort& port, int signalFd) {
    EventLoop loop(options, port, signalFd);
    return loop.run();
}

}  // namespace tarvik::sim
