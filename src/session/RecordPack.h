#pragma once
#include "trace/TraceRecordFields.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Many records of a session file in one byte string: what one row of `record_packs` holds
// (docs/session-format.md). One row per record cost the recording an insert of 18 columns
// each; a pack costs an append of bytes per record and one insert for hundreds of them.
namespace RecordPack {
// A pack is closed at this many records or bytes: a reader that shows one record unpacks its
// whole pack, so packs stay small, while each still spares hundreds of inserts.
inline constexpr std::size_t kMaxRecords = 256;
inline constexpr std::size_t kMaxBytes = 128u << 10;

// A record as a pack holds it: its row and fields, the byte strings viewed (packing copies
// them; unpacked, they point into the pack's bytes and are valid while those are).
struct SRecord {
    std::int64_t row = 0;
    int connection = 0;
    int sequence = 0;
    std::uint8_t direction = 0; // ETraceDirection
    std::uint8_t part = 1;      // ETracePart
    bool binary = false;
    bool ssl = false;
    bool headerIncomplete = false;
    std::int32_t bytes = 0;
    std::uint32_t startTick = 0;
    std::uint32_t endTick = 0;
    std::int32_t elapsed = 0;
    std::int64_t captured = 0;
    std::int64_t exchange = 0;
    std::string_view header, text, contentType, charset, origin;
};

// The record's fields as viewed (its row left to the caller).
SRecord View(const STraceRecordFields& fields);

// Appends one record to a pack whose previous record had row `previousRow` and capture time
// `previousCaptured` (the pack's first_row - 1 and 0 for its first): rows must rise. Returns
// where in `packed` its elapsed time is, for SetElapsed while the pack is still being made.
std::size_t Append(const SRecord& record, std::int64_t previousRow,
                   std::int64_t previousCaptured, std::string& packed);
// A request's elapsed time grows with its answer: written over the packed one in place.
void SetElapsed(std::string& packed, std::size_t at, std::int32_t elapsed);

// The `count` records of a pack of rows firstRow..lastRow, in order. False with what is wrong
// for bytes that do not hold exactly that.
bool Unpack(std::string_view packed, std::int64_t firstRow, std::int64_t lastRow,
            std::int64_t count, std::vector<SRecord>& records, std::string& problem);
} // namespace RecordPack
