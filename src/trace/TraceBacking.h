#pragma once
#include <cstdint>
#include <string>

struct SExchangeBody;

// Where what left memory for the budget can be read back: the session file being recorded. A
// record is found by its serial (CTraceRecord::GetSerial), an exchange by its number. Called on
// the event loop; an implementation reads through a connection of its own.
class CTraceBacking {
public:
    virtual ~CTraceBacking() = default;
    // The record's header and display text as recorded; false when the file does not hold it
    // (not yet written, or lost).
    virtual bool ReadRecordTexts(std::uint64_t serial, int connectionId, int sequence,
                                 std::string& header, std::string& text) = 0;
    // The exchange's kept body bytes as recorded; false when the file does not hold them.
    virtual bool ReadBodies(std::uint64_t exchangeId, SExchangeBody& request,
                            SExchangeBody& response) = 0;
};
