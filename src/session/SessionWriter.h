#pragma once
#include "session/SessionLock.h"
#include "session/SqliteDb.h"
#include "session/SqliteStatement.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

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
    // The batch's records in packs of rows (docs/session-format.md), with the elapsed times
    // their answers gave them; later times of requests of earlier batches in their own rows.
    bool WriteRecords(const SSessionBatch& batch);
    bool WritePack(const SSessionBatch& batch, std::size_t from, std::size_t to);
    bool InsertPack(std::int64_t firstRow, std::int64_t lastRow, std::size_t count,
                    std::string_view packed);
    // The packs the recorder made as the records came, and their requests' later times.
    bool WritePacked(const SSessionBatch& batch);
    bool WritePendingElapsed();

    // Declared first, so released last: closing any descriptor of the file drops the fcntl
    // locks SQLite holds on it, so the database goes before the lock.
    CSessionLock m_Lock;
    CSqliteDb m_Db;
    CSqliteStatement m_Run;
    CSqliteStatement m_Exchange;
    CSqliteStatement m_Pack;
    CSqliteStatement m_ElapsedRow;
    CSqliteStatement m_Debug;
    std::string m_strPath;
    // The row of the latest record written: rows rise (a record's row is its serial when
    // serials rise, as a recording's do, else the next number).
    std::int64_t m_nLastRow = 0;
    // Per connection, its latest request: sequence, row, and where it is in the batch being
    // written (when it is in it).
    struct SLastRequest {
        int sequence = 0;
        std::int64_t row = 0;
        std::uint64_t batch = 0;
        std::size_t index = 0;
    };
    std::unordered_map<int, SLastRequest> m_LastRequests;
    std::uint64_t m_nBatch = 0;
    // Of the batch being written: each record's row and elapsed time.
    std::vector<std::int64_t> m_Rows;
    std::vector<std::int32_t> m_BatchElapsed;
    // Elapsed times of requests of earlier batches, by row, not written yet.
    std::unordered_map<std::int64_t, std::int32_t> m_PendingElapsed;
    std::string m_Packed; // kept between packs for its room
    // An exchange's packed fields and its compressed bodies: kept between exchanges for room.
    std::string m_PackedExchange;
    std::string m_Compressed[2];
    // The page cache, in KiB, raised for bodies written in place until they stop coming (0: as
    // SQLite sets it).
    std::size_t m_nCacheKiB = 0;
    std::chrono::steady_clock::time_point m_LargeCacheUntil;
};
