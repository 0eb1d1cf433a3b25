#include "session/SessionSchema.h"

#include "session/SqliteDb.h"

#include <string>

namespace {
// Records are packed many to a row (RecordPack), keyed by the last record's row: a record is
// found by one seek, and a recording makes one insert for hundreds of records.
// Byte strings that may hold any value (heads, bodies, record texts) are blobs; words are text.
constexpr const char* kTables = R"sql(
CREATE TABLE run(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE exchanges(
  id INTEGER PRIMARY KEY,
  browser_connection INTEGER NOT NULL, server_connection INTEGER NOT NULL,
  https INTEGER NOT NULL, host TEXT NOT NULL, port INTEGER NOT NULL,
  flags INTEGER NOT NULL, replay_of INTEGER NOT NULL,
  method TEXT NOT NULL, target BLOB NOT NULL, version TEXT NOT NULL,
  request_head BLOB NOT NULL, forwarded_head BLOB NOT NULL,
  request_body BLOB NOT NULL, request_body_kept INTEGER NOT NULL,
  request_body_total INTEGER NOT NULL, request_body_zstd INTEGER NOT NULL,
  status INTEGER NOT NULL, reason TEXT NOT NULL, response_head BLOB NOT NULL,
  response_body BLOB NOT NULL, response_body_kept INTEGER NOT NULL,
  response_body_total INTEGER NOT NULL, response_body_zstd INTEGER NOT NULL,
  unexpected_bytes INTEGER NOT NULL,
  started INTEGER NOT NULL, resolved INTEGER NOT NULL, connected INTEGER NOT NULL,
  tls_done INTEGER NOT NULL, request_sent INTEGER NOT NULL, first_byte INTEGER NOT NULL,
  ended INTEGER NOT NULL,
  end_state INTEGER NOT NULL, end_reason TEXT NOT NULL);
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
