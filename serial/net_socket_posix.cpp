#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "serial/com_port.h"
#include "serial/net_socket.h"

namespace tarvik::net {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// One address: a non-blocking connect waited for until `deadline`. 0 or the errno.
int TryAddress(const addrinfo& address, Clock::time_point deadline, int& out) {
    const int s = socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                         address.ai_protocol);
    if (s < 0) {
        return errno;
    }
    int error = 0;
    if (connect(s, address.ai_addr, address.ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd fds{s, POLLOUT, 0};
            int ready = 0;
            do {
                ready = poll(&fds, 1, MillisecondsLeft(deadline));
            } while (ready < 0 && errno == EINTR);
            if (ready == 0) {
                error = ETIMEDOUT;
            } else if (ready < 0) {
                error = errno;
            } else {
                socklen_t size = sizeof error;
                if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                    error = errno;
                }
            }
        }
    }
    if (error != 0) {
        close(s);
        return error;
    }
    const int flags = fcntl(s, F_GETFL);
    fcntl(s, F_SETFL, flags & ~O_NONBLOCK);
    const int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    out = s;
    return 0;
}

}  // namespace

Connected Connect(const std::string& host, const std::string& port,
                  std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (lookup != 0) {
        return {kNoSocket, lookup == EAI_SYSTEM ? static_cast<uint32_t>(errno) : kErrNameUnknown};
    }
    Connected result{kNoSocket, kErrConnectTimedOut};
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (Clock::now() >= deadline) {
            break;
        }
        int s = -1;
        const int error = TryAddress(*a, deadline, s);
        if (error == 0) {
            result = {s, 0};
            break;
        }
        result.code = static_cast<uint32_t>(error);
    }
    freeaddrinfo(found);
    return result;
}

uint32_t SendAll(SocketHandle socket, const uint8_t* bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = send(socket, bytes + done, count - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return static_cast<uint32_t>(n < 0 ? errno : EPIPE);
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

long Receive(SocketHandle socket, uint8_t* buffer, size_t capacity, uint32_t& code) {
    // Every segment acknowledged at once: a server that sends a reply in small pieces and
    // holds each until the last is acknowledged (Nagle's rule) would otherwise wait for the
    // delayed acknowledgement, tens of milliseconds, once per block. The system clears the
    // flag again by itself, so it is set before every receive.
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    for (;;) {
        const ssize_t n = recv(socket, buffer, capacity, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        code = n < 0 ? static_cast<uint32_t>(errno) : 0;
        return static_cast<long>(n);
    }
}

void Shutdown(SocketHandle socket) {
    shutdown(socket, SHUT_RDWR);
}

void CloseSocket(SocketHandle socket) {
    close(socket);
}

void SignalCompletion(int event) {
    if (event >= 0) {
        // An eventfd's increment, or a pipe's byte: either wakes the waiter. A full counter
        // or pipe already wakes it, so the result does not matter.
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(event, &one, sizeof one);
    }
}

}  // namespace tarvik::net
