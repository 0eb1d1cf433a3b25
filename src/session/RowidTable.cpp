#include "session/RowidTable.h"

#include <string>

namespace RowidTable {

int Corrupt(sqlite3_vtab* table, const std::string& message)
{
    sqlite3_free(table->zErrMsg);
    table->zErrMsg = sqlite3_mprintf("%s", message.c_str());
    return SQLITE_CORRUPT;
}

void PlanScan(sqlite3_index_info* info, bool (*isRowid)(int column))
{
    int equals = -1, lower = -1;
    for (int i = 0; i < info->nConstraint; ++i) {
        const auto& c = info->aConstraint[i];
        if (!c.usable || !isRowid(c.iColumn))
            continue;
        if (c.op == SQLITE_INDEX_CONSTRAINT_EQ)
            equals = i;
        else if (c.op == SQLITE_INDEX_CONSTRAINT_GT || c.op == SQLITE_INDEX_CONSTRAINT_GE)
            lower = i;
    }
    const int used = equals >= 0 ? equals : lower;
    if (used >= 0) {
        info->aConstraintUsage[used].argvIndex = 1;
        info->aConstraintUsage[used].omit = 1;
    }
    if (equals >= 0) {
        info->idxNum = kRowEquals;
        info->estimatedCost = 10;
        info->estimatedRows = 1;
        info->idxFlags = SQLITE_INDEX_SCAN_UNIQUE;
    } else if (lower >= 0) {
        info->idxNum =
            info->aConstraint[lower].op == SQLITE_INDEX_CONSTRAINT_GT ? kRowAbove : kRowFrom;
        info->estimatedCost = 1e5;
        info->estimatedRows = 100000;
    } else {
        info->idxNum = kAll;
        info->estimatedCost = 1e7;
        info->estimatedRows = 1000000;
    }
    // Rows come in rising rowids, as the older tables gave them.
    if (info->nOrderBy == 1 && isRowid(info->aOrderBy[0].iColumn) && !info->aOrderBy[0].desc)
        info->orderByConsumed = 1;
}

sqlite3_module MakeModule(decltype(sqlite3_module::xConnect) connect,
                          decltype(sqlite3_module::xBestIndex) bestIndex,
                          decltype(sqlite3_module::xDisconnect) disconnect,
                          decltype(sqlite3_module::xOpen) open,
                          decltype(sqlite3_module::xClose) close,
                          decltype(sqlite3_module::xFilter) filter,
                          decltype(sqlite3_module::xNext) next, decltype(sqlite3_module::xEof) eof,
                          decltype(sqlite3_module::xColumn) column,
                          decltype(sqlite3_module::xRowid) rowid)
{
    sqlite3_module module{};
    module.xConnect = connect;
    module.xBestIndex = bestIndex;
    module.xDisconnect = disconnect;
    module.xDestroy = disconnect;
    module.xOpen = open;
    module.xClose = close;
    module.xFilter = filter;
    module.xNext = next;
    module.xEof = eof;
    module.xColumn = column;
    module.xRowid = rowid;
    return module;
}

bool AttachWhenStored(sqlite3* db, const char* storedTable, const char* name,
                      const sqlite3_module* module)
{
    sqlite3_stmt* s = nullptr;
    const std::string sql =
        "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = ?1";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK)
        return false;
    sqlite3_bind_text(s, 1, storedTable, -1, SQLITE_STATIC);
    const int step = sqlite3_step(s);
    const bool stored = step == SQLITE_ROW && sqlite3_column_int64(s, 0) > 0;
    sqlite3_finalize(s);
    if (step != SQLITE_ROW)
        return false;
    return !stored || sqlite3_create_module_v2(db, name, module, nullptr, nullptr) == SQLITE_OK;
}

} // namespace RowidTable
