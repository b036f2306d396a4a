// What a record says of a board taken: the image and machine parts, worked out once per run,
// and the record of one board. A single run and the station write the same fields.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "station/judge.h"
#include "upgrade/board_record.h"
#include "upgrade/engine.h"
#include "upgrade/image.h"

namespace tarvik {

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

}  // namespace tarvik
