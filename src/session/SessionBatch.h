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

    // Records packed as they came (RecordPack): rows firstRow..lastRow, rising.
    struct SPack {
        std::int64_t firstRow = 0;
        std::int64_t lastRow = 0;
        std::size_t count = 0;
        std::int64_t lastCaptured = 0;
        std::string bytes;
    };
    // A request's elapsed time that grew after its pack left in an earlier batch.
    struct SRowElapsed {
        std::int64_t row = 0;
        std::int32_t elapsed = 0;
    };

    std::vector<std::pair<std::string, std::string>> run; // the run's description, key and value
    std::vector<CExchange> exchanges;                      // replaced when already written
    std::vector<STraceRecordFields> records;
    std::vector<SElapsed> elapsed;                         // in the order of afterRecord
    std::vector<SDebugLine> debugLines;
    std::vector<SPack> packs;
    std::vector<SRowElapsed> rowElapsed;

    bool Empty() const
    {
        return run.empty() && exchanges.empty() && records.empty() && elapsed.empty() &&
               debugLines.empty() && packs.empty() && rowElapsed.empty();
    }
};
