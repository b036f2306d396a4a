// Loopback TCP for the tests of network lines: listening sockets on ports the system chooses,
// connections to them, and whether something listens on a port. Header only: the Linux tests
// and the Wine tests' Linux driver both use it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace tarvik::testing {

// A socket bound to a loopback port the system chose (an ephemeral one, free at the moment),
// listening with `backlog` unless it is 0; `port` receives the port.
inline int BindLoopback(int backlog, int& port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    if (backlog > 0) {
        listen(s, backlog);
    }
    return s;
}

// A loopback TCP port free at the moment: nobody listens on it, so connecting is refused.
inline int FreePort() {
    int port = 0;
    close(BindLoopback(0, port));
    return port;
}

// A connection to the loopback port, or -1.
inline int ConnectLoopback(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Whether something listens on the loopback port. Read from the system's socket table, not
// by connecting: a probe would be a client to a device server, which then opens the device
// for it, and a client that follows at once could find the port still held.
inline bool Listening(int port) {
    constexpr const char* kListenState = "0A";
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    std::ifstream table("/proc/net/tcp");
    std::string local;
    std::string remote;
    std::string state;
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot;
        fields >> slot >> local >> remote >> state;
        if (state == kListenState && local.size() > 5 &&
            local.compare(local.size() - 5, 5, wanted) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace tarvik::testing
