#include "station/station_record.h"

namespace tarvik {

const char* RecordResultOf(Verdict verdict) {
    return verdict == Verdict::Succeeded ? kRecordOk
           : verdict == Verdict::Stopped ? kRecordInterrupted
                                         : kRecordFailed;
}

}  // namespace tarvik
