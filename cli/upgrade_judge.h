// How a running upgrade on one port stands: ended (and how), or still going. Shared by the
// single run and the station.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "cli/progress_view.h"
#include "upgrade/board_record.h"
#include "upgrade/image.h"
#include "upgrade/loop_driver.h"

namespace tarvik::cli {

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

// What every record of a run says of the image and the machine, worked out once per run.
struct RecordedImage {
    std::string path;  // as the operator gave it
    uint32_t length = 0;
    uint32_t sum = 0;    // the sum the tool compares with the board's
    std::string sha256;  // of the image's bytes
    std::string host;
};
RecordedImage DescribeImage(const std::string& path, const FirmwareImage& image);

// The record of board `board` on `port`, whose upgrade began at `start` and ended as
// `verdict` after `seconds`, showing `shown`; the failing step and the rate, blocks and
// resends come from its engine. The single run and the station write the same fields.
BoardRecord MakeBoardRecord(const std::string& port, uint32_t board, Verdict verdict,
                            const std::string& shown, std::chrono::system_clock::time_point start,
                            double seconds, const CUpgradeEngine& engine,
                            const RecordedImage& image);

// "0x1b": a step byte as the messages show it.
std::string StepByteText(uint8_t step);

}  // namespace tarvik::cli
