#pragma once
#include <cstdint>
#include <ctime>
#include <string>

#include "trace/TraceVocabulary.h"

// Everything a built CTraceRecord holds, as plain values: what a session file keeps of a record
// and gives back when the capture is reopened.
struct STraceRecordFields {
    int connectionId = 0;
    int sequence = 0;
    ETraceDirection direction = ETraceDirection::Sent;
    ETracePart part = ETracePart::Header;
    std::int32_t bytes = 0;
    std::uint32_t startTick = 0;
    std::uint32_t endTick = 0;
    std::int32_t elapsed = 0;
    std::string header;
    std::string text;
    std::string contentType;
    std::string charset;
    std::string origin;
    bool binary = false;
    bool ssl = false;
    bool headerIncomplete = false;
    std::time_t captured = 0;
    std::uint64_t exchange = 0;
    // The store's number for the record, rising in the order records were made across all
    // entries (0: none); a session file keeps it as the row's rowid, to read its texts back.
    std::uint64_t serial = 0;
    bool operator==(const STraceRecordFields&) const = default;
};
