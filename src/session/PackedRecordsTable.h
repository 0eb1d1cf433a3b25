#pragma once

struct sqlite3;

// A file whose records are packed many to a row (`record_packs`) is read through a table of
// one row per record named `records`, with the columns and rowids of the older layout's table:
// every reader's query (a page by rowid, a sort, a join on the exchange) reads either layout.
// A virtual table of the connection that unpacks one pack at a time (the latest one is kept),
// so a pass over a large file takes little memory.
namespace PackedRecordsTable {
// On a connection to a session file: adds `records` when the file packs its records, nothing
// for a file of the older layout. False when the file's schema cannot be read (the
// connection's error says why).
bool Attach(sqlite3* db);
} // namespace PackedRecordsTable
