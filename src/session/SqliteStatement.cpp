#include "session/SqliteStatement.h"

#include <sqlite3.h>

CSqliteStatement::~CSqliteStatement() { sqlite3_finalize(m_pStatement); }

bool CSqliteStatement::Prepare(sqlite3* db, const char* sql)
{
    sqlite3_finalize(m_pStatement);
    m_pStatement = nullptr;
    return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_pStatement, nullptr) ==
           SQLITE_OK;
}

void CSqliteStatement::BindInt(int index, std::int64_t value)
{
    sqlite3_bind_int64(m_pStatement, index, value);
}

void CSqliteStatement::BindNull(int index) { sqlite3_bind_null(m_pStatement, index); }

void CSqliteStatement::BindText(int index, std::string_view text)
{
    sqlite3_bind_text64(m_pStatement, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
}

void CSqliteStatement::BindBlob(int index, std::string_view bytes)
{
    // A null pointer would store NULL; an empty blob stays an empty blob.
    sqlite3_bind_blob64(m_pStatement, index, bytes.empty() ? "" : bytes.data(), bytes.size(),
                        SQLITE_STATIC);
}

void CSqliteStatement::BindZeroBlob(int index, std::size_t size)
{
    sqlite3_bind_zeroblob64(m_pStatement, index, size);
}

CSqliteStatement::EStep CSqliteStatement::Step()
{
    switch (sqlite3_step(m_pStatement)) {
    case SQLITE_ROW:
        return EStep::Row;
    case SQLITE_DONE:
        return EStep::Done;
    default:
        return EStep::Failed;
    }
}

bool CSqliteStatement::Run()
{
    const bool done = Step() == EStep::Done;
    Reset();
    return done;
}

void CSqliteStatement::Reset()
{
    sqlite3_reset(m_pStatement);
    sqlite3_clear_bindings(m_pStatement);
}

int CSqliteStatement::Columns() const { return sqlite3_column_count(m_pStatement); }

std::int64_t CSqliteStatement::Int(int column) const
{
    return sqlite3_column_int64(m_pStatement, column);
}

std::string CSqliteStatement::Bytes(int column) const
{
    // The pointer first, then the length: the order SQLite asks for.
    const void* data = sqlite3_column_blob(m_pStatement, column);
    const int length = sqlite3_column_bytes(m_pStatement, column);
    if (!data || length <= 0)
        return {};
    return std::string(static_cast<const char*>(data), static_cast<std::size_t>(length));
}
