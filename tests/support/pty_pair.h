// A pseudo-terminal pair for tests: the slave is what the tool opens, the master plays the
// far end of the line. No test opens a real serial device.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvik::testing {

class PtyPair {
public:
    PtyPair();   // opens a pair; the master in raw mode, non-blocking
    ~PtyPair();  // closes whatever is still open
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return m_master; }
    const std::string& slavePath() const { return m_slavePath; }

    // Writes all bytes to the master (the far end sends them).
    void send(const std::vector<uint8_t>& bytes);
    void send(const std::string& text);
    // Reads from the master what the tool sent, until `count` bytes have come or `timeout`
    // has passed; returns what came.
    std::vector<uint8_t> receive(size_t count, std::chrono::milliseconds timeout);
    // Closes the master: the device vanishes, as a pulled USB adapter does.
    void closeMaster();

private:
    int m_master = -1;
    int m_slaveKeep = -1;  // held open so the master sees no hang-up before the tool opens
    std::string m_slavePath;
};

}  // namespace tarvik::testing
