#pragma once
#include "session/SessionLock.h"
#include "session/SqliteDb.h"
#include "session/SqliteStatement.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>

class CExchange;
struct SSessionBatch;
struct STraceRecordFields;

// Writes a session file: creates it (locked to this writer for its life), then adds batches,
// each in one transaction. Used from one thread at a time.
class CSessionWriter {
public:
    CSessionWriter() = default;
    ~CSessionWriter();
    CSessionWriter(const CSessionWriter&) = delete;
    CSessionWriter& operator=(const CSessionWriter&) = delete;

    // A new, empty session at path; false with the reason.
    bool Create(const std::string& path, std::string& error);
    // Everything of the batch or nothing; false with SQLite's reason (a full disk...).
    bool Write(const SSessionBatch& batch, std::string& error);

private:
    bool Prepare();
    bool WriteRows(const SSessionBatch& batch);
    bool WriteExchange(const CExchange& exchange);
    bool WriteRecord(const STraceRecordFields& record);
    // A request record of this batch not written yet, and its time so far.
    struct SHeldRequest {
        const STraceRecordFields* record = nullptr;
        std::int32_t elapsed = 0;
    };
    bool WriteHeldRequest(const SHeldRequest& held);
    bool InsertRecord(const STraceRecordFields& record, std::int32_t elapsed);
    // The latest elapsed time of a connection's request, written when its next request comes
    // or the batch ends: one update per request however many chunks its answer had.
    bool WritePendingElapsed(int connectionId);
    bool WriteAllPendingElapsed();

    // Declared first, so released last: closing any descriptor of the file drops the fcntl
    // locks SQLite holds on it, so the database goes before the lock.
    CSessionLock m_Lock;
    CSqliteDb m_Db;
    CSqliteStatement m_Run;
    CSqliteStatement m_Exchange;
    CSqliteStatement m_Record;
    CSqliteStatement m_Elapsed;
    CSqliteStatement m_Debug;
    std::string m_strPath;
    // Per connection, the latest request record written (sequence, row): the one whose
    // elapsed time still grows.
    std::unordered_map<int, std::pair<int, std::int64_t>> m_LastRequestRows;
    std::unordered_map<int, std::int32_t> m_PendingElapsed; // per connection, for that row
    // Per connection, its latest request of the batch being written, not inserted yet.
    std::unordered_map<int, SHeldRequest> m_HeldRequests;
};
