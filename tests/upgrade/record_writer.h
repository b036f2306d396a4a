// The records tarvik_record_writer appends, known to the test that reads them back.
#pragma once

#include <cstdint>
#include <string>

#include "upgrade/board_record.h"

namespace tarvik::testing {

// Record `k` of writer `w`: a message long enough that a torn or mixed line shows.
inline BoardRecord RecordWriterRecord(uint32_t w, uint32_t k) {
    BoardRecord r;
    r.time = "2026-12-11T06:00:00.000Z";
    r.port = "COM" + std::to_string(w + 1);
    r.board = k + 1;
    r.result = kRecordOk;
    r.message = "writer " + std::to_string(w) + " record " + std::to_string(k) + " " +
                std::string(200, static_cast<char>('a' + w % 26));
    r.seconds = 1.5;
    r.baud = 115200;
    r.blocks = 9;
    r.bytes = 1100;
    r.image = "fw.bin";
    r.imageSum = 0x0001a2b3;
    r.boardSum = 0x0001a2b3;
    r.imageSha256 = std::string(64, 'b');
    r.version = "1.0.0";
    r.host = "bench";
    return r;
}

}  // namespace tarvik::testing
