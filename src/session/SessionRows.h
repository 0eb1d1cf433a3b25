#pragma once
#include "trace/TraceRecordFields.h"

#include <cstdint>
#include <string>

class CExchange;
class CSqliteStatement;

// The rows of a session file's exchanges and records as values: the columns a query names,
// read in that order and checked, for every reader of the file. Columns are named rather than
// taken with *, so that a file with columns added later still reads.
namespace SessionRows {
// Every column of an exchange, in the order ReadExchange reads them.
extern const char* const kExchangeColumns;
// The same, without the request heads and bodies' bytes (their sizes stay): what a table row
// of the exchange shows and filters on. The response head stays (its Content-Type).
extern const char* const kLightExchangeColumns;
// Every column of a record, in the order ReadRecord reads them.
extern const char* const kRecordColumns;
// The same, with only the start of the display text: enough for the record's summary.
extern const char* const kLightRecordColumns;

// From the statement's columns first.. on. False with what is wrong for a damaged row.
bool ReadExchange(const CSqliteStatement& row, int first, CExchange& exchange,
                  std::string& problem);
bool ReadRecord(const CSqliteStatement& row, int first, STraceRecordFields& record,
                std::string& problem);
} // namespace SessionRows
