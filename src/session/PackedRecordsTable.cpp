#include "session/PackedRecordsTable.h"

#include "session/RecordPack.h"
#include "session/RowidTable.h"

#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {
// The columns of the older layout's `records` table, in its order.
constexpr const char* kColumns =
    "CREATE TABLE x(connection INTEGER, sequence INTEGER, direction INTEGER, part INTEGER, "
    "bytes INTEGER, start_tick INTEGER, end_tick INTEGER, elapsed INTEGER, header BLOB, "
    "text BLOB, content_type TEXT, charset TEXT, origin TEXT, binary INTEGER, ssl INTEGER, "
    "header_incomplete INTEGER, captured INTEGER, exchange INTEGER)";
enum EColumn {
    kConnection, kSequence, kDirection, kPart, kBytes, kStartTick, kEndTick, kElapsed, kHeader,
    kText, kContentType, kCharset, kOrigin, kBinary, kSsl, kHeaderIncomplete, kCaptured,
    kExchange
};
using namespace RowidTable;

struct SPack {
    std::int64_t firstRow = 0;
    std::int64_t lastRow = 0;
    std::string bytes; // the records' byte strings point into it
    std::vector<RecordPack::SRecord> records;
};

struct STable : sqlite3_vtab {
    sqlite3* db = nullptr;
    sqlite3_stmt* pack = nullptr;    // the first pack ending at or after a row
    sqlite3_stmt* elapsed = nullptr; // the later elapsed times of a pack's requests
    // The pack read last, and the file's version it was read at: the page on screen and the
    // record opened from it are in the same pack, read once.
    std::shared_ptr<const SPack> cached;
    unsigned dataVersion = 0;

    ~STable()
    {
        sqlite3_finalize(pack);
        sqlite3_finalize(elapsed);
    }
};

struct SCursor : sqlite3_vtab_cursor {
    std::shared_ptr<const SPack> pack;
    std::size_t at = 0;
    bool single = false; // one row asked for: no pack after this one
    bool eof = true;
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

bool IsRowid(int column)
{
    return column == -1;
}

int BestIndex(sqlite3_vtab*, sqlite3_index_info* info)
{
    PlanScan(info, IsRowid);
    return SQLITE_OK;
}

// The pack that holds the first row at or after `row` (null when none does, or when the file
// is damaged: then the table's error says so and `failed` is set).
std::shared_ptr<const SPack> ReadPack(STable* table, std::int64_t row, int& failed)
{
    failed = SQLITE_OK;
    if (!table->pack
        && (sqlite3_prepare_v2(table->db,
                               "SELECT first_row, last_row, count, packed FROM record_packs "
                               "WHERE last_row >= ?1 ORDER BY last_row LIMIT 1",
                               -1, &table->pack, nullptr) != SQLITE_OK
            || sqlite3_prepare_v2(table->db,
                                  "SELECT row, elapsed FROM record_elapsed "
                                  "WHERE row BETWEEN ?1 AND ?2 ORDER BY row",
                                  -1, &table->elapsed, nullptr) != SQLITE_OK)) {
        failed = Corrupt(table, sqlite3_errmsg(table->db));
        return nullptr;
    }
    sqlite3_stmt* s = table->pack;
    sqlite3_bind_int64(s, 1, row);
    const int step = sqlite3_step(s);
    if (step != SQLITE_ROW) {
        if (step != SQLITE_DONE)
            failed = Corrupt(table, sqlite3_errmsg(table->db));
        sqlite3_reset(s);
        return nullptr;
    }
    // Read within the statement's transaction: the version of what it reads.
    unsigned version = 0;
    sqlite3_file_control(table->db, "main", SQLITE_FCNTL_DATA_VERSION, &version);
    const std::int64_t lastRow = sqlite3_column_int64(s, 1);
    if (table->cached && table->cached->lastRow == lastRow && table->dataVersion == version) {
        sqlite3_reset(s);
        return table->cached;
    }
    auto pack = std::make_shared<SPack>();
    pack->firstRow = sqlite3_column_int64(s, 0);
    pack->lastRow = lastRow;
    const std::int64_t count = sqlite3_column_int64(s, 2);
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(s, 3));
    pack->bytes.assign(bytes ? bytes : "", static_cast<std::size_t>(sqlite3_column_bytes(s, 3)));
    sqlite3_reset(s);
    std::string problem;
    if (!RecordPack::Unpack(pack->bytes, pack->firstRow, lastRow, count, pack->records,
                            problem)) {
        failed = Corrupt(table, problem);
        return nullptr;
    }
    // A request's elapsed time written after its pack: its answer came in a later write.
    sqlite3_stmt* e = table->elapsed;
    sqlite3_bind_int64(e, 1, pack->firstRow);
    sqlite3_bind_int64(e, 2, lastRow);
    int stepped;
    while ((stepped = sqlite3_step(e)) == SQLITE_ROW) {
        const std::int64_t at = sqlite3_column_int64(e, 0);
        const std::int64_t elapsed = sqlite3_column_int64(e, 1);
        auto record = std::lower_bound(pack->records.begin(), pack->records.end(), at,
                                       [](const auto& r, std::int64_t x) { return r.row < x; });
        if (record != pack->records.end() && record->row == at && elapsed >= INT32_MIN
            && elapsed <= INT32_MAX)
            record->elapsed = static_cast<std::int32_t>(elapsed);
    }
    sqlite3_reset(e);
    if (stepped != SQLITE_DONE) {
        failed = Corrupt(table, sqlite3_errmsg(table->db));
        return nullptr;
    }
    table->cached = pack;
    table->dataVersion = version;
    return pack;
}

// Puts the cursor on the first record at or after `row`.
int Seek(SCursor* cursor, std::int64_t row)
{
    int failed = SQLITE_OK;
    cursor->pack = ReadPack(TableOf(cursor), row, failed);
    cursor->eof = !cursor->pack;
    if (cursor->eof)
        return failed;
    const auto& records = cursor->pack->records;
    cursor->at = static_cast<std::size_t>(
        std::lower_bound(records.begin(), records.end(), row,
                         [](const auto& r, std::int64_t x) { return r.row < x; })
        - records.begin());
    return SQLITE_OK;
}

int Filter(sqlite3_vtab_cursor* base, int plan, const char*, int argc, sqlite3_value** argv)
{
    auto* cursor = static_cast<SCursor*>(base);
    cursor->single = plan == kRowEquals;
    cursor->eof = true;
    cursor->pack.reset();
    std::int64_t row = 1;
    if (plan != kAll && argc == 1) {
        if (sqlite3_value_type(argv[0]) == SQLITE_NULL)
            return SQLITE_OK; // compares with nothing
        row = sqlite3_value_int64(argv[0]);
        if (plan == kRowAbove) {
            if (row == INT64_MAX)
                return SQLITE_OK;
            ++row;
        }
    }
    const int sought = Seek(cursor, std::max<std::int64_t>(row, 1));
    if (sought == SQLITE_OK && cursor->single && !cursor->eof
        && cursor->pack->records[cursor->at].row != row)
        cursor->eof = true;
    return sought;
}

int Next(sqlite3_vtab_cursor* base)
{
    auto* cursor = static_cast<SCursor*>(base);
    if (cursor->single || cursor->eof) {
        cursor->eof = true;
        return SQLITE_OK;
    }
    if (++cursor->at < cursor->pack->records.size())
        return SQLITE_OK;
    const std::int64_t lastRow = cursor->pack->lastRow;
    if (lastRow == INT64_MAX) {
        cursor->eof = true;
        return SQLITE_OK;
    }
    return Seek(cursor, lastRow + 1);
}

int Eof(sqlite3_vtab_cursor* base) { return static_cast<SCursor*>(base)->eof; }

void ResultBlob(sqlite3_context* context, std::string_view bytes)
{
    if (bytes.empty())
        sqlite3_result_zeroblob(context, 0);
    else
        sqlite3_result_blob64(context, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
}

void ResultText(sqlite3_context* context, std::string_view text)
{
    sqlite3_result_text64(context, text.empty() ? "" : text.data(), text.size(), SQLITE_TRANSIENT,
                          SQLITE_UTF8);
}

int Column(sqlite3_vtab_cursor* base, sqlite3_context* context, int column)
{
    const auto* cursor = static_cast<SCursor*>(base);
    const RecordPack::SRecord& r = cursor->pack->records[cursor->at];
    switch (column) {
    case kConnection: sqlite3_result_int64(context, r.connection); break;
    case kSequence: sqlite3_result_int64(context, r.sequence); break;
    case kDirection: sqlite3_result_int64(context, r.direction); break;
    case kPart: sqlite3_result_int64(context, r.part); break;
    case kBytes: sqlite3_result_int64(context, r.bytes); break;
    case kStartTick: sqlite3_result_int64(context, r.startTick); break;
    case kEndTick: sqlite3_result_int64(context, r.endTick); break;
    case kElapsed: sqlite3_result_int64(context, r.elapsed); break;
    case kHeader: ResultBlob(context, r.header); break;
    case kText: ResultBlob(context, r.text); break;
    case kContentType: ResultText(context, r.contentType); break;
    case kCharset: ResultText(context, r.charset); break;
    case kOrigin: ResultText(context, r.origin); break;
    case kBinary: sqlite3_result_int64(context, r.binary); break;
    case kSsl: sqlite3_result_int64(context, r.ssl); break;
    case kHeaderIncomplete: sqlite3_result_int64(context, r.headerIncomplete); break;
    case kCaptured: sqlite3_result_int64(context, r.captured); break;
    case kExchange: sqlite3_result_int64(context, r.exchange); break;
    default: sqlite3_result_null(context); break;
    }
    return SQLITE_OK;
}

int Rowid(sqlite3_vtab_cursor* base, sqlite3_int64* row)
{
    const auto* cursor = static_cast<SCursor*>(base);
    *row = cursor->pack->records[cursor->at].row;
    return SQLITE_OK;
}

const sqlite3_module kModule =
    MakeModule(Connect, BestIndex, Disconnect, OpenCursor<SCursor>, CloseCursor<SCursor>, Filter,
               Next, Eof, Column, Rowid);
} // namespace

bool PackedRecordsTable::Attach(sqlite3* db)
{
    return AttachWhenStored(db, "record_packs", "records", &kModule);
}
