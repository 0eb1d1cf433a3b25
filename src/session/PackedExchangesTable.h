#pragma once

struct sqlite3;

// A file whose exchanges are a packed blob and two bodies a row (`exchange_rows`) is read
// through a table named `exchanges` with the columns of the older layout's table, `id` being
// the rowid: every reader's query (a row by id, a page after an id, a sort, a join from a
// record) reads either layout. A row's blob is unpacked only when one of its fields is asked
// for, a body read only when it is asked for.
namespace PackedExchangesTable {
// On a connection to a session file: adds `exchanges` when the file packs its exchanges,
// nothing for a file of an older layout. False when the file's schema cannot be read (the
// connection's error says why).
bool Attach(sqlite3* db);
} // namespace PackedExchangesTable
