#pragma once
#include "session/SessionInfo.h"
#include "session/SqliteDb.h"
#include "session/SqliteStatement.h"
#include "trace/TraceRecordFields.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class CExchange;
struct SExchangeFacts;

// A saved capture read a page at a time, for viewing a file too large to hold as objects:
// exchanges by number and records by their row (the order they were made), each either light
// (what a table row shows and filters on) or whole (heads, bodies, full texts) when one is
// opened. Nothing is kept between calls but SQLite's own small cache. Opened with the checks
// of CSessionReader: a foreign, damaged, truncated or newer file is refused with a message.
//
// Any call may find the file damaged further in: it then returns false (or -1) and Error()
// says what, for the user.
class CSessionIndex {
public:
    enum class EDepth { Light, Whole };
    // What a sort of the records goes by: the Listing's columns, in their order.
    enum class ERecordKey { Summary, Id, Time, Bytes, ResponseTime };
    // A record row as a visit hands it: its row, its fields, and the facts of its exchange
    // when they were asked for and it has one (null otherwise).
    using RecordVisitor =
        std::function<void(std::int64_t row, const STraceRecordFields&, const SExchangeFacts*)>;
    using ExchangeVisitor = std::function<void(const CExchange&)>;
    // What a sort of the exchanges goes by, from an exchange of its table row's fields (route,
    // method, target, status, response head, response body's total, times, end): a number, or
    // bytes compared as bytes when `text` is set.
    struct SExchangeSortKey {
        std::function<std::int64_t(const CExchange&)> number;
        std::function<std::string_view(const CExchange&)> text;
    };

    bool Open(const std::string& path, std::string& error);
    const std::string& GetPath() const { return m_strPath; }
    const std::string& Error() const { return m_strError; }

    // The run's description and the debug lines; the description alone.
    bool ReadInfo(SSessionInfo& info);
    bool ReadRun(SSessionInfo& info);
    bool CountExchanges(std::uint64_t& count);
    bool CountRecords(std::uint64_t& count);

    // Up to `max` exchange numbers (record rows, with their trace entry's number) above
    // `after`, rising.
    bool ExchangeIds(std::uint64_t after, std::size_t max, std::vector<std::uint64_t>& ids);
    bool RecordRows(std::int64_t after, std::size_t max, std::vector<std::int64_t>& rows,
                    std::vector<int>& connections);

    // One exchange or record. False when the file has none of that number (Error() empty) or
    // is damaged (Error() says so).
    bool ReadExchange(std::uint64_t id, EDepth depth, CExchange& exchange);
    bool ReadRecord(std::int64_t row, EDepth depth, STraceRecordFields& record);

    // Up to `max` exchanges (records) above `after`, rising, each handed to visit. Returns how
    // many were visited, or -1 when the file is damaged.
    long VisitExchanges(std::uint64_t after, std::size_t max, EDepth depth,
                        const ExchangeVisitor& visit);
    long VisitRecords(std::int64_t after, std::size_t max, EDepth depth, bool withFacts,
                      const RecordVisitor& visit);

    // Every record row in the Listing's order by key, rising or falling; equal keys keep the
    // Listing's own order (by entry, then as made). SQLite's sorter does it, spilling to
    // temporary files rather than memory, so a large file takes seconds: a call for a thread
    // with an index of its own, which another thread stops by setting `stop`. False when the
    // file is damaged or the call was stopped.
    bool SortedRecordRows(ERecordKey key, bool descending, const std::atomic<bool>& stop,
                          std::vector<std::int64_t>& rows);
    // Every exchange number by key, as SortedRecordRows does; equal keys keep rising numbers.
    bool SortedExchangeIds(const SExchangeSortKey& key, bool descending,
                           const std::atomic<bool>& stop, std::vector<std::int64_t>& ids);
    // The last debug lines, at most maxBytes of them (whole lines), in their order; cut tells
    // whether earlier lines were left out.
    bool ReadDebugTail(std::size_t maxBytes, std::string& text, bool& cut);

private:
    bool Damaged();
    // Steps s to its end, each row's first column into rows; SQLite asks `stop` as it goes.
    bool StepStoppable(CSqliteStatement& s, const std::atomic<bool>& stop,
                       std::vector<std::int64_t>& rows);
    bool Damaged(const std::string& what);

    CSqliteDb m_Db; // declared first: the statements go before it
    std::string m_strPath;
    std::string m_strError;
    CSqliteStatement m_ExchangeIds, m_RecordRows;
    CSqliteStatement m_Exchange[2], m_Record[2]; // by EDepth
    CSqliteStatement m_Exchanges[2], m_Records[2], m_RecordsWithFacts[2];
};
