// The TCP connection under a network line: the few socket calls it needs, one file per
// platform (net_socket_posix.cpp, net_socket_win32.cpp). Codes are the port's: 0 or the
// platform's code of the failing call, with the reasons callers tell apart named in
// com_port.h (kErrConnectRefused, kErrNameUnknown, ...).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvik::net {

#if defined(_WIN32)
using SocketHandle = uintptr_t;  // SOCKET
inline constexpr SocketHandle kNoSocket = ~static_cast<uintptr_t>(0);
#else
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;
#endif

struct Connected {
    SocketHandle socket = kNoSocket;
    uint32_t code = 0;  // 0 when connected
};

// Resolves `host` and connects to `port` (decimal) within `limit`, trying each address the
// name has. The socket blocks, sends every write at once (no coalescing: a frame is sent
// when it is written) and is not inherited by child processes.
Connected Connect(const std::string& host, const std::string& port,
                  std::chrono::milliseconds limit);

// Sends all `count` bytes in one call where the system takes them so (a frame is one
// segment); 0 or the code. Never raises a signal on a closed connection.
uint32_t SendAll(SocketHandle socket, const uint8_t* bytes, size_t count);

// Nothing came for a while: the receiver looks whether its line is closing, then waits again.
inline constexpr uint32_t kReceiveIdle = UINT32_MAX;
// Waits for bytes: > 0 bytes received, 0 the connection ended, < 0 failed (`code` set; it is
// kReceiveIdle where the platform gives up waiting now and then, because a Shutdown on
// another thread does not end a blocked receive there).
long Receive(SocketHandle socket, uint8_t* buffer, size_t capacity, uint32_t& code);

// Ends both directions: a Receive or SendAll blocked on another thread returns.
void Shutdown(SocketHandle socket);
void CloseSocket(SocketHandle socket);

// Signals a caller's completion event (ComOverlapped::event; -1: none).
void SignalCompletion(int event);

}  // namespace tarvik::net
