#pragma once
#include <sqlite3.h>

#include <string>

// What the session's packed tables share: SQLite virtual tables read in rising rowids, which a
// filter can start at one rowid, above one, or from one.
namespace RowidTable {
enum EPlan { kAll, kRowEquals, kRowAbove, kRowFrom };

// A damaged file, told through the table: SQLite hands the message to the query's caller.
int Corrupt(sqlite3_vtab* table, const std::string& message);

// The module's connect and disconnect for a table of type Table with these columns.
template <class Table>
int Declare(sqlite3* db, const char* columns, sqlite3_vtab** made)
{
    const int declared = sqlite3_declare_vtab(db, columns);
    if (declared != SQLITE_OK)
        return declared;
    auto* table = new Table{};
    table->db = db;
    *made = table;
    return SQLITE_OK;
}
template <class Table>
int Release(sqlite3_vtab* table)
{
    delete static_cast<Table*>(table);
    return SQLITE_OK;
}

// The module's open and close for cursors of type Cursor.
template <class Cursor>
int OpenCursor(sqlite3_vtab*, sqlite3_vtab_cursor** made)
{
    *made = new Cursor{};
    return SQLITE_OK;
}
template <class Cursor>
int CloseCursor(sqlite3_vtab_cursor* cursor)
{
    delete static_cast<Cursor*>(cursor);
    return SQLITE_OK;
}

// Plans a scan by the constraints on the rowid (the columns isRowid says stand for it):
// sets idxNum to the EPlan, the cost, and hands the bound to the filter as its one argument.
void PlanScan(sqlite3_index_info* info, bool (*isRowid)(int column));

// A read-only module of these calls with no xCreate: the table exists on the connection by the
// module's name alone.
sqlite3_module MakeModule(decltype(sqlite3_module::xConnect) connect,
                          decltype(sqlite3_module::xBestIndex) bestIndex,
                          decltype(sqlite3_module::xDisconnect) disconnect,
                          decltype(sqlite3_module::xOpen) open,
                          decltype(sqlite3_module::xClose) close,
                          decltype(sqlite3_module::xFilter) filter,
                          decltype(sqlite3_module::xNext) next, decltype(sqlite3_module::xEof) eof,
                          decltype(sqlite3_module::xColumn) column,
                          decltype(sqlite3_module::xRowid) rowid);

// Adds the table `name` when the file holds `storedTable`, nothing for a file of the older
// layout. False when the file's schema cannot be read (the connection's error says why).
bool AttachWhenStored(sqlite3* db, const char* storedTable, const char* name,
                      const sqlite3_module* module);
} // namespace RowidTable
