// ser2net as a child process of a test: one device server on loopback ports of its own, in
// front of pseudo-terminals (tarvik-sim's), with its configuration in the test's folder.
// Header only: the Linux tests and the Wine tests' Linux driver both use it.
#pragma once

#include <signal.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "loopback.h"

namespace tarvik::testing {

inline constexpr char kSer2Net[] = "/usr/sbin/ser2net";
inline constexpr std::chrono::seconds kListenBound{15};

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
