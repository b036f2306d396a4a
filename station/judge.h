// How a running upgrade on one port stands: ended (and how), or still going. A single run
// and the station judge their ports alike.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "upgrade/engine.h"
#include "upgrade/image.h"
#include "upgrade/loop_driver.h"

namespace tarvik {

// How a board taken ended, or that it has not yet.
enum class Verdict { Running, Succeeded, Failed, NotFound, Stopped };

// What a board whose sum differs from the image's is told with.
inline constexpr char kSumDiffersText[] = "电路板的校验和与固件不符";

struct UpgradeEnd {
    Verdict verdict = Verdict::Failed;
    std::string result;  // the window's text
    std::string detail;  // what else there is to know, may be empty
};

// One look at the upgrade on `driver` at `now`: its end when the engine has an outcome or has
// stayed stalled (a failure shown, no timer left) for `stallTimeout`; then the engine is
// stopped where it needs to be. `stalledSince` carries the stall between looks; `news`
// becomes true when a stall begins.
std::optional<UpgradeEnd> JudgeUpgrade(CLoopDriver& driver,
                                       std::optional<CEventLoop::Clock::time_point>& stalledSince,
                                       std::chrono::milliseconds stallTimeout,
                                       CEventLoop::Clock::time_point now, bool& news);

// The image checks of Start, with Start's texts, made once for a whole run before any port
// is touched: nothing when `image` is good.
std::optional<std::string> LoadRunImage(const std::string& path, FirmwareImage& image);
// Start's text for a start that did not happen; empty for Started.
const char* StartFailureText(StartResult result);

// A frame write's code says the device behind the port has gone (not a time-out).
bool LineHasGone(uint32_t code);

// "0x1b": a step byte as the messages show it.
std::string StepByteText(uint8_t step);
// "5.0 s": a duration to a tenth of a second.
std::string SecondsText(std::chrono::milliseconds duration);

}  // namespace tarvik
