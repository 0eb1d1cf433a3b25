#include "session/SqliteDb.h"

#include <sqlite3.h>

CSqliteDb::~CSqliteDb() { Close(); }

bool CSqliteDb::Open(const std::string& path, bool writable)
{
    Close();
    const int flags = (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) |
                      SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &m_pDb, flags, nullptr) != SQLITE_OK) {
        m_strError = m_pDb ? sqlite3_errmsg(m_pDb) : "out of memory";
        Close();
        return false;
    }
    sqlite3_extended_result_codes(m_pDb, 1);
    // A file may come from anyone: its schema runs no code of its own, and damaged pages are
    // noticed as they are read rather than trusted.
    sqlite3_db_config(m_pDb, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(m_pDb, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(m_pDb, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(m_pDb, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
    return Exec("PRAGMA cell_size_check=ON");
}

void CSqliteDb::Close()
{
    if (m_pDb)
        sqlite3_close_v2(m_pDb);
    m_pDb = nullptr;
}

bool CSqliteDb::Exec(const char* sql)
{
    char* message = nullptr;
    if (sqlite3_exec(m_pDb, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    m_strError = message ? message : sqlite3_errmsg(m_pDb);
    sqlite3_free(message);
    return false;
}

bool CSqliteDb::PragmaInteger(const char* name, long long& value)
{
    const std::string sql = std::string("PRAGMA ") + name;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_pDb, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        m_strError = sqlite3_errmsg(m_pDb);
        return false;
    }
    const int step = sqlite3_step(statement);
    if (step == SQLITE_ROW)
        value = sqlite3_column_int64(statement, 0);
    else
        m_strError = step == SQLITE_DONE ? "no value" : sqlite3_errmsg(m_pDb);
    sqlite3_finalize(statement);
    return step == SQLITE_ROW;
}

bool CSqliteDb::WriteBlob(const char* table, const char* column, std::int64_t row,
                          std::string_view bytes)
{
    sqlite3_blob* blob = nullptr;
    if (sqlite3_blob_open(m_pDb, "main", table, column, row, 1, &blob) != SQLITE_OK) {
        sqlite3_blob_close(blob);
        return false;
    }
    const bool written =
        bytes.size() <= static_cast<std::size_t>(sqlite3_blob_bytes(blob)) &&
        sqlite3_blob_write(blob, bytes.data(), static_cast<int>(bytes.size()), 0) == SQLITE_OK;
    if (!written)
        m_strError = "cannot write a body into its row";
    return sqlite3_blob_close(blob) == SQLITE_OK && written;
}

std::string CSqliteDb::Error() const
{
    if (m_pDb && sqlite3_errcode(m_pDb) != SQLITE_OK)
        return sqlite3_errmsg(m_pDb);
    return m_strError;
}
