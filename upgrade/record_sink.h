// Where a finished board's record goes once it is made: the record file, the factory's
// database. The station's one record writer hands each record to every sink of the run, in
// the order the boards ended, on its own thread, so that no port's exchange ever waits for a
// disk or a server.
#pragma once

#include <string>

#include "upgrade/board_record.h"

namespace tarvik {

class CRecordSink {
public:
    virtual ~CRecordSink() = default;

    // Called on the record writer's thread only, one record at a time. An empty error means the
    // record is safe: on the disk, committed by the database, or kept in a synced spool to be
    // sent later. An error means it is not, and the station takes no new board.
    virtual RecordError Write(const BoardRecord& record) = 0;

    // A line for the views about the sink's state, such as records kept back while the
    // database is away; empty while all is well. Any thread may call it.
    virtual std::string Note() const { return {}; }
};

}  // namespace tarvik
