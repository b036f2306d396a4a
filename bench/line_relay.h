// A serial line for the benchmarks: two pseudo-terminals joined by a relay that lets every
// byte cross only at the line's rate, in both directions, as a real cable between two UARTs
// does. The sender's side ("A", where the tool or a sending peer opens its port) and the
// receiver's side ("B", the board or a receiving peer) each get a slave device.
//
// The rate is the one A's side has set (its termios, read through the master before every
// crossing), with its framing: a start bit, the data bits, a parity bit if any and the stop
// bits. Both ends of a working line agree on it, so B's bytes cross at that rate as well.
//
// The relay watches the line as a logic analyser would and keeps the exchanges: an exchange
// begins when A starts to send on an idle line; its turn is the time from the last byte that
// reached A to that start, when everything B sent had arrived by then.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvik::bench {

struct LineExchange {
    double startUs = 0;   // A began to send, from the relay's start
    uint64_t aBytes = 0;  // what A sent in this exchange
    uint64_t bBytes = 0;  // what reached A from B before the next exchange
    double turnUs = -1;   // last byte that reached A to this start; -1 if none came between
};

struct LineRecord {
    uint64_t aToB = 0;
    uint64_t bToA = 0;
    uint32_t baud = 0;  // A's rate when the relay ended
    std::vector<LineExchange> exchanges;
    // When the last byte reached A, on the steady clock every process of this machine shares
    // (nanoseconds since its epoch); 0 if none did.
    int64_t lastToASteadyNs = 0;
};

// `tarvik-bench line`: prints A's slave path, then B's, one per line, and relays until
// SIGTERM or SIGINT; then prints the record as one line of JSON. Returns the exit code.
int RunLineRelay();

// The record a relay printed.
LineRecord ParseLineRecord(const std::string& json);

}  // namespace tarvik::bench
