// ser2net as a child process of a test: one device server on loopback ports of its own, in
// front of pseudo-terminals (tarvik-sim's), with its configuration in the test's folder.
// Header only: the Linux tests and the Wine tests' Linux driver both use it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace tarvik::testing {

inline constexpr char kSer2Net[] = "/usr/sbin/ser2net";
inline constexpr std::chrono::seconds kListenBound{15};

// A loopback TCP port free at the moment (the system's choice of an ephemeral port).
inline int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    close(s);
    return ntohs(address.sin_port);
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
// by connecting: a probe would be a client to ser2net, which then opens the device for it,
// and a client that follows at once could find the port still held.
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

// One ser2net in front of the given devices, one port each.
struct Accepter {
    bool rfc2217;  // telnet(rfc2217), else raw tcp
    std::string device;
    int port;
};

class Ser2Net {
public:
    Ser2Net(const std::string& folder, std::vector<Accepter> accepters)
        : m_config(folder + "/ser2net.yaml"), m_accepters(std::move(accepters)) {
        std::ofstream config(m_config);
        int n = 0;
        for (const Accepter& a : m_accepters) {
            config << "connection: &line" << n++ << "\n"
                   << "  accepter: " << (a.rfc2217 ? "telnet(rfc2217),tcp," : "tcp,")
                   << "127.0.0.1," << a.port << "\n"
                   << "  connector: serialdev," << a.device << ",115200n81,local\n";
        }
    }
    ~Ser2Net() { Stop(); }

    // True once every accepter listens; otherwise `why` tells what the server said.
    bool Start(std::string* why = nullptr) {
        m_process = std::make_unique<ChildProcess>(
            kSer2Net, std::vector<std::string>{"-n", "-c", m_config, "-P", m_config + ".pid"});
        const auto until = std::chrono::steady_clock::now() + kListenBound;
        for (const Accepter& a : m_accepters) {
            while (!Listening(a.port)) {
                if (std::chrono::steady_clock::now() >= until ||
                    m_process->wait(std::chrono::milliseconds(20)).has_value()) {
                    if (why != nullptr) {
                        *why = m_process->out() + m_process->err();
                    }
                    return false;
                }
            }
        }
        return true;
    }
    // As a server that is switched off: its connections end.
    void Stop() {
        if (m_process) {
            m_process->sendSignal(SIGTERM);
            m_process->wait(kChildTimeout);
            m_process.reset();
        }
    }

private:
    std::string m_config;
    std::vector<Accepter> m_accepters;
    std::unique_ptr<ChildProcess> m_process;
};

}  // namespace tarvik::testing
