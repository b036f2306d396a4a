// What the page's port adds to CComPort: a page cannot block, so a wait between two line
// operations is itself a line operation, queued behind what was written before it.
#pragma once

#include <chrono>

namespace tarvik {

// The next operation on the page's line (a write, a change of rate, a close) starts only
// `duration` after the ones queued before it have ended. Returns at once.
void PauseWebLine(std::chrono::milliseconds duration);

}  // namespace tarvik
