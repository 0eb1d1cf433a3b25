#pragma once
#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

// One prepared statement: bind by position (from 1), step, read columns (from 0), reset.
class CSqliteStatement {
public:
    CSqliteStatement() = default;
    ~CSqliteStatement();
    CSqliteStatement(const CSqliteStatement&) = delete;
    CSqliteStatement& operator=(const CSqliteStatement&) = delete;

    bool Prepare(sqlite3* db, const char* sql);

    // Bytes are bound as given (copied by SQLite only when it must keep them past the step).
    void BindInt(int index, std::int64_t value);
    void BindNull(int index);
    void BindText(int index, std::string_view text);
    void BindBlob(int index, std::string_view bytes);
    // A blob of zeros of that size, which takes no memory of its own (filled later in place).
    void BindZeroBlob(int index, std::size_t size);
    // One step: Row, Done, or Failed (the connection's error says why).
    enum class EStep { Row, Done, Failed };
    EStep Step();
    // Steps a statement that returns no rows, then resets it for the next bindings.
    bool Run();
    void Reset();

    // Columns of the result; a table of another layout has others.
    int Columns() const;
    std::int64_t Int(int column) const;
    // Text or blob bytes, exactly as stored.
    std::string Bytes(int column) const;

private:
    sqlite3_stmt* m_pStatement = nullptr;
};
