#include "session/SessionSchema.h"

#include "session/SqliteDb.h"

#include <string>

namespace {
// Records are packed many to a row (RecordPack), keyed by the last record's row: a record is
// found by one seek, and a recording makes one insert for hundreds of records. An exchange is
// one row of its fields packed (ExchangePack) and its two bodies, last: a table row reads the
// fields without the bodies' pages.
// Byte strings that may hold any value (heads, bodies, record texts) are blobs; words are text.
constexpr const char* kTables = R"sql(
CREATE TABLE run(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE exchange_rows(
  id INTEGER PRIMARY KEY, packed BLOB NOT NULL, request_body BLOB NOT NULL,
  response_body BLOB NOT NULL);
CREATE TABLE record_packs(
  last_row INTEGER PRIMARY KEY, first_row INTEGER NOT NULL, count INTEGER NOT NULL,
  packed BLOB NOT NULL);
CREATE TABLE record_elapsed(row INTEGER PRIMARY KEY, elapsed INTEGER NOT NULL);
CREATE TABLE debug_lines(id INTEGER PRIMARY KEY, captured INTEGER NOT NULL, text BLOB NOT NULL);
)sql";
} // namespace

bool SessionSchema::Create(CSqliteDb& db)
{
    // The identity goes into the file's first page before the log is switched on, so that a
    // reader finds it there even while the writer's log holds everything else.
    // Pages of 16 KiB: a kept body of megabytes goes to the log and into the file in a quarter
    // of the writes 4 KiB pages take, while a small capture stays small (set before the first
    // table, which fixes the page size).
    const std::string identity =
        "PRAGMA page_size=16384; PRAGMA application_id=" + std::to_string(kApplicationId)
        + "; PRAGMA user_version=" + std::to_string(kVersion) + ";";
    return db.Exec("BEGIN") && db.Exec(identity.c_str()) && db.Exec(kTables) &&
           db.Exec("COMMIT") && db.Exec("PRAGMA journal_mode=WAL") &&
           db.Exec("PRAGMA synchronous=NORMAL");
}
