// The board's event loop: reads the line, hands complete frames to the board at their time,
// writes the replies at theirs, and ends on --once, --timeout, a signal or --vanish-after.
#pragma once

#include "options.h"
#include "port.h"

namespace tarvik::sim {

// Serves `port` until the end; prints the summary on standard output and returns the exit
// code. `signalFd` becomes readable when the program is asked to end.
int runBoard(const Options& options, BoardPort& port, int signalFd);

}  // namespace tarvik::sim
