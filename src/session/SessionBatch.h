#pragma once
#include "trace/Exchange.h"
#include "trace/TraceRecordFields.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

// What one write adds to a session file: copies made on the event loop, owned by the batch, so
// that the writer never reads the live trace.
struct SSessionBatch {
    // A request record's elapsed time grows as its answer comes in: known after the record
    // records[afterRecord] of this batch was made.
    struct SElapsed {
        int connectionId = 0;
        int sequence = 0;
        std::int32_t elapsed = 0;
        std::size_t afterRecord = 0;
    };
    struct SDebugLine {
        std::time_t captured = 0;
        std::string text;
    };

    std::vector<std::pair<std::string, std::string>> run; // the run's description, key and value
    std::vector<CExchange> exchanges;                      // replaced when already written
    std::vector<STraceRecordFields> records;
    std::vector<SElapsed> elapsed;                         // in the order of afterRecord
    std::vector<SDebugLine> debugLines;

    bool Empty() const
    {
        return run.empty() && exchanges.empty() && records.empty() && elapsed.empty() &&
               debugLines.empty();
    }
};
