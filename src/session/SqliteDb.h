#pragma once
#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;

// One SQLite connection, closed with the object. Calls that fail leave the reason in Error().
class CSqliteDb {
public:
    CSqliteDb() = default;
    ~CSqliteDb();
    CSqliteDb(const CSqliteDb&) = delete;
    CSqliteDb& operator=(const CSqliteDb&) = delete;

    // Opens an existing file, read-only or for reading and writing (never creating it).
    bool Open(const std::string& path, bool writable);
    void Close();
    // Runs SQL statements that return no rows.
    bool Exec(const char* sql);
    // An integer PRAGMA's value (application_id, user_version...); false when it has none.
    bool PragmaInteger(const char* name, long long& value);
    // Writes bytes over the start of a blob already in the row (made with BindZeroBlob, as
    // long as them at least): the bytes go straight into the pages, with no row-sized copy.
    bool WriteBlob(const char* table, const char* column, std::int64_t row,
                   std::string_view bytes);

    sqlite3* Handle() const { return m_pDb; }
    // The last failure: SQLite's own words.
    std::string Error() const;

private:
    sqlite3* m_pDb = nullptr;
    std::string m_strError; // a failure before any connection existed
};
