#include "session/SessionRows.h"

#include "session/BodyCompression.h"
#include "session/SqliteStatement.h"
#include "trace/Exchange.h"

#include <climits>

namespace {
bool InRange(std::int64_t value, std::int64_t low, std::int64_t high)
{
    return value >= low && value <= high;
}

bool ReadBody(const CSqliteStatement& row, int column, SExchangeBody& body, std::string& problem)
{
    std::string stored = row.Bytes(column);
    const std::int64_t kept = row.Int(column + 1);
    const std::int64_t total = row.Int(column + 2);
    const bool compressed = row.Int(column + 3) != 0;
    if (!InRange(kept, 0, CExchange::kMaxKeptBody) || total < kept) {
        problem = "a body's sizes are out of range";
        return false;
    }
    const auto size = static_cast<std::size_t>(kept);
    if (compressed) {
        if (!BodyCompression::Decompress(stored, size, body.bytes)) {
            problem = "a compressed body does not unpack";
            return false;
        }
    } else if (stored.size() != size) {
        problem = "a body's size does not match its bytes";
        return false;
    } else {
        body.bytes = std::move(stored);
    }
    body.total = static_cast<std::uint64_t>(total);
    return true;
}
} // namespace

#define KESTRUNE_EXCHANGE_ROUTE                                                                    \
    "id, browser_connection, server_connection, https, host, port, flags, replay_of, method, "     \
    "target, version, "
#define KESTRUNE_EXCHANGE_END                                                                      \
    "unexpected_bytes, started, resolved, connected, tls_done, request_sent, first_byte, ended, "  \
    "end_state, end_reason"

const char* const SessionRows::kExchangeColumns = KESTRUNE_EXCHANGE_ROUTE
    "request_head, forwarded_head, request_body, request_body_kept, request_body_total, "
    "request_body_zstd, status, reason, response_head, response_body, response_body_kept, "
    "response_body_total, response_body_zstd, " KESTRUNE_EXCHANGE_END;
// A body of no kept bytes with its total: what the table shows of it.
const char* const SessionRows::kLightExchangeColumns = KESTRUNE_EXCHANGE_ROUTE
    "x'', x'', x'', 0, request_body_total, 0, status, reason, response_head, x'', 0, "
    "response_body_total, 0, " KESTRUNE_EXCHANGE_END;

#define KESTRUNE_RECORD_FIELDS                                                                     \
    "connection, sequence, direction, part, bytes, start_tick, end_tick, elapsed, header, "
#define KESTRUNE_RECORD_REST                                                                       \
    "content_type, charset, origin, binary, ssl, header_incomplete, captured, exchange"

const char* const SessionRows::kRecordColumns =
    KESTRUNE_RECORD_FIELDS "text, " KESTRUNE_RECORD_REST;
// A summary reads the first 100 bytes of the text.
const char* const SessionRows::kLightRecordColumns =
    KESTRUNE_RECORD_FIELDS "substr(CAST(text AS BLOB), 1, 100), " KESTRUNE_RECORD_REST;

bool SessionRows::ReadExchange(const CSqliteStatement& row, int first, CExchange& e,
                               std::string& problem)
{
    int i = first;
    const std::int64_t id = row.Int(i++);
    e.m_nBrowserConnection = static_cast<int>(row.Int(i++));
    e.m_nServerConnection = static_cast<int>(row.Int(i++));
    e.m_bHttps = row.Int(i++) != 0;
    e.m_strHost = row.Bytes(i++);
    const std::int64_t port = row.Int(i++);
    const std::int64_t flags = row.Int(i++);
    e.m_nReplayOf = static_cast<std::uint64_t>(row.Int(i++));
    if (id < 1 || !InRange(port, 0, 65535) || !InRange(flags, 0, 255)) {
        problem = "an exchange's number, port or flags are out of range";
        return false;
    }
    e.m_nId = static_cast<std::uint64_t>(id);
    e.m_nPort = static_cast<std::uint16_t>(port);
    e.m_nFlags = static_cast<std::uint8_t>(flags);
    e.m_strMethod = row.Bytes(i++);
    e.m_strTarget = row.Bytes(i++);
    e.m_strVersion = row.Bytes(i++);
    e.m_strRequestHead = row.Bytes(i++);
    e.m_strForwardedHead = row.Bytes(i++);
    if (!ReadBody(row, i, e.m_RequestBody, problem))
        return false;
    i += 4;
    e.m_nStatus = static_cast<int>(row.Int(i++));
    e.m_strReason = row.Bytes(i++);
    e.m_strResponseHead = row.Bytes(i++);
    if (!ReadBody(row, i, e.m_ResponseBody, problem))
        return false;
    i += 4;
    e.m_nUnexpectedBytes = static_cast<std::uint64_t>(row.Int(i++));
    SExchangeTimes& t = e.m_Times;
    for (std::int64_t* time : {&t.started, &t.resolved, &t.connected, &t.tlsDone, &t.requestSent,
                               &t.firstByte, &t.ended})
        *time = row.Int(i++);
    const std::int64_t end = row.Int(i++);
    if (!InRange(end, 0, static_cast<int>(EExchangeEnd::Refused))) {
        problem = "an exchange's end state is unknown";
        return false;
    }
    e.m_nEnd = static_cast<EExchangeEnd>(end);
    e.m_strEndReason = row.Bytes(i++);
    return true;
}

bool SessionRows::ReadRecord(const CSqliteStatement& row, int first, STraceRecordFields& r,
                             std::string& problem)
{
    int i = first;
    const std::int64_t connection = row.Int(i++);
    const std::int64_t sequence = row.Int(i++);
    const std::int64_t direction = row.Int(i++);
    const std::int64_t part = row.Int(i++);
    const std::int64_t bytes = row.Int(i++);
    if (!InRange(connection, 1, INT_MAX) || !InRange(sequence, 1, INT_MAX)
        || !InRange(direction, 0, 1) || !InRange(part, 1, 2) || !InRange(bytes, 0, INT32_MAX)) {
        problem = "a record's fields are out of range";
        return false;
    }
    r.connectionId = static_cast<int>(connection);
    r.sequence = static_cast<int>(sequence);
    r.direction = static_cast<ETraceDirection>(direction);
    r.part = static_cast<ETracePart>(part);
    r.bytes = static_cast<std::int32_t>(bytes);
    r.startTick = static_cast<std::uint32_t>(row.Int(i++));
    r.endTick = static_cast<std::uint32_t>(row.Int(i++));
    r.elapsed = static_cast<std::int32_t>(row.Int(i++));
    r.header = row.Bytes(i++);
    r.text = row.Bytes(i++);
    r.contentType = row.Bytes(i++);
    r.charset = row.Bytes(i++);
    r.origin = row.Bytes(i++);
    r.binary = row.Int(i++) != 0;
    r.ssl = row.Int(i++) != 0;
    r.headerIncomplete = row.Int(i++) != 0;
    r.captured = static_cast<std::time_t>(row.Int(i++));
    r.exchange = static_cast<std::uint64_t>(row.Int(i++));
    return true;
}
