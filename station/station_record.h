// The record's word for how a board taken ended: a single run and the station say it alike,
// and hand the rest of the record to the one maker in upgrade/board_record.
#pragma once

#include "station/judge.h"
#include "upgrade/board_record.h"

namespace tarvik {

const char* RecordResultOf(Verdict verdict);

}  // namespace tarvik
