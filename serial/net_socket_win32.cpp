// The network line's sockets on Windows: Winsock, started once per process.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

#include "serial/com_port.h"
#include "serial/net_socket.h"

namespace tarvik::net {
namespace {

using Clock = std::chrono::steady_clock;

constexpr WORD kWinsockVersion = MAKEWORD(2, 2);
// How long a receive waits before it looks whether its line is closing.
constexpr std::chrono::microseconds kReceiveTurn{100000};

// Winsock is started on the first connection and stays up for the process.
uint32_t StartWinsock() {
    static std::once_flag once;
    static int result = 0;
    std::call_once(once, [] {
        WSADATA data{};
        result = WSAStartup(kWinsockVersion, &data);
    });
    return static_cast<uint32_t>(result);
}

uint32_t LastSocketError() {
    return static_cast<uint32_t>(WSAGetLastError());
}

// One address: a non-blocking connect waited for until `deadline`. 0 or the code.
uint32_t TryAddress(const addrinfo& address, Clock::time_point deadline, SOCKET& out) {
    SOCKET s = WSASocketW(address.ai_family, address.ai_socktype, address.ai_protocol, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        return LastSocketError();
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    uint32_t error = 0;
    if (connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
        error = LastSocketError();
        if (error == WSAEWOULDBLOCK) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                std::max(Clock::duration::zero(), deadline - Clock::now()));
            fd_set writable;
            fd_set failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval wait{static_cast<long>(left.count() / 1000000),
                         static_cast<long>(left.count() % 1000000)};
            const int ready = select(0, nullptr, &writable, &failed, &wait);
            if (ready == 0) {
                error = WSAETIMEDOUT;
            } else if (ready < 0) {
                error = LastSocketError();
            } else {
                int code = 0;
                int size = sizeof code;
                error =
                    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &size) == 0
                        ? static_cast<uint32_t>(code)
                        : LastSocketError();
                if (error == 0 && FD_ISSET(s, &failed)) {
                    error = WSAECONNREFUSED;
                }
            }
        }
    }
    if (error != 0) {
        closesocket(s);
        return error;
    }
    nonBlocking = 0;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    out = s;
    return 0;
}

}  // namespace

Connected Connect(const std::string& host, const std::string& port,
                  std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    if (const uint32_t started = StartWinsock(); started != 0) {
        return {kNoSocket, started};
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (lookup != 0) {
        return {kNoSocket,
                lookup == WSAHOST_NOT_FOUND || lookup == WSANO_DATA || lookup == WSATRY_AGAIN
                    ? kErrNameUnknown
                    : static_cast<uint32_t>(lookup)};
    }
    Connected result{kNoSocket, kErrConnectTimedOut};
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (Clock::now() >= deadline) {
            break;
        }
        SOCKET s = INVALID_SOCKET;
        const uint32_t error = TryAddress(*a, deadline, s);
        if (error == 0) {
            result = {static_cast<SocketHandle>(s), 0};
            break;
        }
        result.code = error;
    }
    freeaddrinfo(found);
    return result;
}

uint32_t SendAll(SocketHandle socket, const uint8_t* bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        const int n = send(static_cast<SOCKET>(socket), reinterpret_cast<const char*>(bytes + done),
                           static_cast<int>(count - done), 0);
        if (n <= 0) {
            return n < 0 ? LastSocketError() : static_cast<uint32_t>(WSAECONNRESET);
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

long Receive(SocketHandle socket, uint8_t* buffer, size_t capacity, uint32_t& code) {
    // A shutdown does not end a blocked recv on Windows: wait in turns, so the receiver sees
    // its line closing.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(socket), &readable);
    timeval wait{0, static_cast<long>(kReceiveTurn.count())};
    const int ready = select(0, &readable, nullptr, nullptr, &wait);
    if (ready == 0) {
        code = kReceiveIdle;
        return -1;
    }
    if (ready < 0) {
        code = LastSocketError();
        return -1;
    }
    const int n = recv(static_cast<SOCKET>(socket), reinterpret_cast<char*>(buffer),
                       static_cast<int>(capacity), 0);
    code = n < 0 ? LastSocketError() : 0;
    return n;
}

void Shutdown(SocketHandle socket) {
    shutdown(static_cast<SOCKET>(socket), SD_BOTH);
}

void CloseSocket(SocketHandle socket) {
    closesocket(static_cast<SOCKET>(socket));
}

void SignalCompletion(int event) {
    if (event != -1) {
        SetEvent(reinterpret_cast<HANDLE>(static_cast<intptr_t>(event)));
    }
}

}  // namespace tarvik::net
