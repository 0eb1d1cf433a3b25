#include "session/PackedExchangesTable.h"

#include "session/ExchangePack.h"
#include "session/RowidTable.h"
#include "trace/Exchange.h"

#include <sqlite3.h>

#include <string>

namespace {
// The columns of the older layout's `exchanges` table, in its order.
constexpr const char* kColumns =
    "CREATE TABLE x(id INTEGER, browser_connection INTEGER, server_connection INTEGER, "
    "https INTEGER, host TEXT, port INTEGER, flags INTEGER, replay_of INTEGER, method TEXT, "
    "target BLOB, version TEXT, request_head BLOB, forwarded_head BLOB, request_body BLOB, "
    "request_body_kept INTEGER, request_body_total INTEGER, request_body_zstd INTEGER, "
    "status INTEGER, reason TEXT, response_head BLOB, response_body BLOB, "
    "response_body_kept INTEGER, response_body_total INTEGER, response_body_zstd INTEGER, "
    "unexpected_bytes INTEGER, started INTEGER, resolved INTEGER, connected INTEGER, "
    "tls_done INTEGER, request_sent INTEGER, first_byte INTEGER, ended INTEGER, "
    "end_state INTEGER, end_reason TEXT)";
enum EColumn {
    kId, kBrowserConnection, kServerConnection, kHttps, kHost, kPort, kFlags, kReplayOf, kMethod,
    kTarget, kVersion, kRequestHead, kForwardedHead, kRequestBody, kRequestKept, kRequestTotal,
    kRequestZstd, kStatus, kReason, kResponseHead, kResponseBody, kResponseKept, kResponseTotal,
    kResponseZstd, kUnexpectedBytes, kStarted, kResolved, kConnected, kTlsDone, kRequestSent,
    kFirstByte, kEnded, kEndState, kEndReason
};
// What a filter was given: an id, ids above one, from one, or none; and whether the query
// reads bodies (then the rows come with them, not each by a seek of its own).
using namespace RowidTable;
// Beside the rowid plan: the query names a body column.
constexpr int kPlanKinds = 7, kWithBodies = 8;
constexpr const char* kRowsSql[2] = {
    "SELECT id, packed FROM exchange_rows WHERE id >= ?1 ORDER BY id",
    "SELECT id, packed, request_body, response_body FROM exchange_rows WHERE id >= ?1 ORDER BY id"};

struct STable : sqlite3_vtab {
    sqlite3* db = nullptr;
};

struct SCursor : sqlite3_vtab_cursor {
    sqlite3_stmt* scans[2] = {};    // id, packed from a first id on; and with the bodies
    sqlite3_stmt* rows = nullptr;   // the one of them the cursor walks
    sqlite3_stmt* bodies = nullptr; // the two bodies of one id (made when first asked for)
    bool single = false;            // one id asked for
    bool eof = true;
    std::int64_t id = 0;
    bool onRow = false;             // `rows` stands on the row of `id`
    bool unpacked = false;          // of the row the cursor is on:
    ExchangePack::SFields fields;   // its fields, viewed in the row's packed bytes
    bool bodiesRead = false;        // `bodies` stands on its row

    ~SCursor()
    {
        sqlite3_finalize(scans[0]);
        sqlite3_finalize(scans[1]);
        sqlite3_finalize(bodies);
    }
};

STable* TableOf(sqlite3_vtab_cursor* cursor) { return static_cast<STable*>(cursor->pVtab); }

int Connect(sqlite3* db, void*, int, const char* const*, sqlite3_vtab** made, char**)
{
    return Declare<STable>(db, kColumns, made);
}

int Disconnect(sqlite3_vtab* table)
{
    return Release<STable>(table);
}

bool IsId(int column) { return column == -1 || column == kId; }

int BestIndex(sqlite3_vtab*, sqlite3_index_info* info)
{
    PlanScan(info, IsId);
    const sqlite3_uint64 bodies =
        (sqlite3_uint64(1) << kRequestBody) | (sqlite3_uint64(1) << kResponseBody);
    if (info->colUsed & bodies)
        info->idxNum |= kWithBodies;
    return SQLITE_OK;
}

// Steps the rows' statement: the cursor on the next row, or at the end.
int Step(SCursor* cursor)
{
    cursor->unpacked = false;
    if (cursor->bodiesRead) {
        sqlite3_reset(cursor->bodies);
        cursor->bodiesRead = false;
    }
    const int step = sqlite3_step(cursor->rows);
    if (step == SQLITE_ROW) {
        cursor->id = sqlite3_column_int64(cursor->rows, 0);
        cursor->eof = false;
        cursor->onRow = true;
        return SQLITE_OK;
    }
    cursor->eof = true;
    cursor->onRow = false;
    sqlite3_reset(cursor->rows);
    return step == SQLITE_DONE ? SQLITE_OK
                               : Corrupt(cursor->pVtab, sqlite3_errmsg(TableOf(cursor)->db));
}

int Filter(sqlite3_vtab_cursor* base, int plan, const char*, int argc, sqlite3_value** argv)
{
    auto* cursor = static_cast<SCursor*>(base);
    const int withBodies = (plan & kWithBodies) ? 1 : 0;
    plan &= kPlanKinds;
    sqlite3_stmt*& scan = cursor->scans[withBodies];
    if (!scan
        && sqlite3_prepare_v2(TableOf(cursor)->db, kRowsSql[withBodies], -1, &scan, nullptr)
               != SQLITE_OK)
        return Corrupt(cursor->pVtab, sqlite3_errmsg(TableOf(cursor)->db));
    // A join asks for the same exchange for each of its records in a row: the cursor still
    // stands on it, fields read.
    if (plan == kRowEquals && argc == 1 && cursor->onRow && cursor->rows == scan
        && sqlite3_value_type(argv[0]) == SQLITE_INTEGER
        && sqlite3_value_int64(argv[0]) == cursor->id) {
        cursor->single = true;
        cursor->eof = false;
        return SQLITE_OK;
    }
    if (cursor->rows)
        sqlite3_reset(cursor->rows);
    cursor->rows = scan;
    cursor->onRow = false;
    if (cursor->bodiesRead) {
        sqlite3_reset(cursor->bodies);
        cursor->bodiesRead = false;
    }
    cursor->unpacked = false;
    cursor->single = plan == kRowEquals;
    cursor->eof = true;
    std::int64_t from = INT64_MIN;
    if (plan != kAll && argc == 1) {
        if (sqlite3_value_type(argv[0]) == SQLITE_NULL)
            return SQLITE_OK; // compares with nothing
        from = sqlite3_value_int64(argv[0]);
        if (plan == kRowAbove) {
            if (from == INT64_MAX)
                return SQLITE_OK;
            ++from;
        }
    }
    sqlite3_bind_int64(cursor->rows, 1, from);
    const int stepped = Step(cursor);
    if (stepped == SQLITE_OK && cursor->single && !cursor->eof && cursor->id != from)
        cursor->eof = true;
    return stepped;
}

int Next(sqlite3_vtab_cursor* base)
{
    auto* cursor = static_cast<SCursor*>(base);
    if (cursor->single || cursor->eof) {
        cursor->eof = true;
        return SQLITE_OK;
    }
    return Step(cursor);
}

int Eof(sqlite3_vtab_cursor* base) { return static_cast<SCursor*>(base)->eof; }

void ResultBytes(sqlite3_context* context, std::string_view bytes, bool text)
{
    if (text)
        sqlite3_result_text64(context, bytes.empty() ? "" : bytes.data(), bytes.size(),
                              SQLITE_TRANSIENT, SQLITE_UTF8);
    else if (bytes.empty())
        sqlite3_result_zeroblob(context, 0);
    else
        sqlite3_result_blob64(context, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
}

// A body's stored bytes (zstd or not), read only now: a table row never needs them. Both of the
// row's are read by one seek, for a reader that asks for both.
int ResultBody(SCursor* cursor, sqlite3_context* context, int which)
{
    sqlite3* db = TableOf(cursor)->db;
    if (cursor->rows == cursor->scans[1]) {
        sqlite3_result_value(context, sqlite3_column_value(cursor->rows, 2 + which));
        return SQLITE_OK;
    }
    if (!cursor->bodiesRead) {
        if (!cursor->bodies
            && sqlite3_prepare_v2(db,
                                  "SELECT request_body, response_body FROM exchange_rows "
                                  "WHERE id = ?1",
                                  -1, &cursor->bodies, nullptr)
                   != SQLITE_OK)
            return Corrupt(cursor->pVtab, sqlite3_errmsg(db));
        sqlite3_bind_int64(cursor->bodies, 1, cursor->id);
        const int step = sqlite3_step(cursor->bodies);
        if (step != SQLITE_ROW) {
            sqlite3_reset(cursor->bodies);
            return Corrupt(cursor->pVtab,
                        step == SQLITE_DONE ? "an exchange's row went away" : sqlite3_errmsg(db));
        }
        cursor->bodiesRead = true;
    }
    sqlite3_result_value(context, sqlite3_column_value(cursor->bodies, which));
    return SQLITE_OK;
}

int Column(sqlite3_vtab_cursor* base, sqlite3_context* context, int column)
{
    auto* cursor = static_cast<SCursor*>(base);
    if (column == kId) {
        sqlite3_result_int64(context, cursor->id);
        return SQLITE_OK;
    }
    if (column == kRequestBody || column == kResponseBody)
        return ResultBody(cursor, context, column == kRequestBody ? 0 : 1);
    if (!cursor->unpacked) {
        // Viewed where SQLite holds the row: valid until the rows' statement steps again.
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(cursor->rows, 1));
        const std::string_view packed(bytes ? bytes : "",
                                      static_cast<std::size_t>(sqlite3_column_bytes(cursor->rows, 1)));
        std::string problem;
        if (!ExchangePack::Read(packed, cursor->id, cursor->fields, problem))
            return Corrupt(cursor->pVtab, problem);
        cursor->unpacked = true;
    }
    const ExchangePack::SFields& f = cursor->fields;
    const CExchange& e = f.exchange;
    const SExchangeTimes& t = e.m_Times;
    auto number = [context](std::int64_t value) { sqlite3_result_int64(context, value); };
    switch (column) {
    case kBrowserConnection: number(e.m_nBrowserConnection); break;
    case kServerConnection: number(e.m_nServerConnection); break;
    case kHttps: number(e.m_bHttps); break;
    case kHost: ResultBytes(context, f.host, true); break;
    case kPort: number(e.m_nPort); break;
    case kFlags: number(e.m_nFlags); break;
    case kReplayOf: number(static_cast<std::int64_t>(e.m_nReplayOf)); break;
    case kMethod: ResultBytes(context, f.method, true); break;
    case kTarget: ResultBytes(context, f.target, false); break;
    case kVersion: ResultBytes(context, f.version, true); break;
    case kRequestHead: ResultBytes(context, f.requestHead, false); break;
    case kForwardedHead: ResultBytes(context, f.forwardedHead, false); break;
    case kRequestKept: number(f.request.kept); break;
    case kRequestTotal: number(f.request.total); break;
    case kRequestZstd: number(f.request.zstd); break;
    case kStatus: number(e.m_nStatus); break;
    case kReason: ResultBytes(context, f.reason, true); break;
    case kResponseHead: ResultBytes(context, f.responseHead, false); break;
    case kResponseKept: number(f.response.kept); break;
    case kResponseTotal: number(f.response.total); break;
    case kResponseZstd: number(f.response.zstd); break;
    case kUnexpectedBytes: number(static_cast<std::int64_t>(e.m_nUnexpectedBytes)); break;
    case kStarted: number(t.started); break;
    case kResolved: number(t.resolved); break;
    case kConnected: number(t.connected); break;
    case kTlsDone: number(t.tlsDone); break;
    case kRequestSent: number(t.requestSent); break;
    case kFirstByte: number(t.firstByte); break;
    case kEnded: number(t.ended); break;
    case kEndState: number(static_cast<int>(e.m_nEnd)); break;
    case kEndReason: ResultBytes(context, f.endReason, true); break;
    default: sqlite3_result_null(context); break;
    }
    return SQLITE_OK;
}

int Rowid(sqlite3_vtab_cursor* base, sqlite3_int64* row)
{
    *row = static_cast<SCursor*>(base)->id;
    return SQLITE_OK;
}

const sqlite3_module kModule =
    MakeModule(Connect, BestIndex, Disconnect, OpenCursor<SCursor>, CloseCursor<SCursor>, Filter,
               Next, Eof, Column, Rowid);
} // namespace

bool PackedExchangesTable::Attach(sqlite3* db)
{
    return AttachWhenStored(db, "exchange_rows", "exchanges", &kModule);
}
