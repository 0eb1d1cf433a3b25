#include "session/SessionWriter.h"

#include "session/BodyCompression.h"
#include "session/ExchangePack.h"
#include "session/ProxyCredentials.h"
#include "session/RecordPack.h"
#include "session/SessionBatch.h"
#include "session/SessionSchema.h"

#include <malloc.h>

#include <chrono>
#include <utility>

namespace {
constexpr const char* kInsertExchange =
    "INSERT OR REPLACE INTO exchange_rows(id, packed, request_body, response_body) "
    "VALUES(?,?,?,?)";
// Room for compressed bodies kept between exchanges: small ones reuse it, large ones free it.
constexpr std::size_t kKeptCompressedRoom = 256u << 10;
constexpr const char* kInsertPack =
    "INSERT INTO record_packs(last_row, first_row, count, packed) VALUES(?,?,?,?)";
// Bodies this large go into their row in place (a row of zeros first, then the bytes into its
// pages): a row made in memory would be a mapped copy of megabytes, faulted in and unmapped
// per body.
constexpr std::size_t kInPlaceBody = 1u << 20;
// While bodies go in place the page cache holds the row and some room, so that its pages go to
// the log once, at the commit, rather than spilled as zeros and fetched again; no more (clean
// pages of earlier rows are reused only once the cache is full). Kept during a run of large
// bodies (their pages filled again rather than mapped anew for each), then let go.
constexpr std::size_t kCacheRoomKiB = 4096;
constexpr auto kLargeCacheKept = std::chrono::seconds(2);
constexpr const char* kDefaultCache = "PRAGMA cache_size=-2000";
// Connections whose latest request row is remembered; beyond this the memory starts again (an
// old connection answering after that keeps its request's time as it was).
constexpr std::size_t kMaxRememberedConnections = 65536;
} // namespace

// The statements go before the connection, the connection before the lock (member order).
CSessionWriter::~CSessionWriter() = default;

bool CSessionWriter::Create(const std::string& path, std::string& error)
{
    m_strPath = path;
    if (!m_Lock.Take(path, error))
        return false;
    if (!m_Db.Open(path, true) || !SessionSchema::Create(m_Db) || !Prepare()) {
        error = "cannot write the session file " + path + ": " + m_Db.Error();
        return false;
    }
    return true;
}

bool CSessionWriter::Prepare()
{
    sqlite3* db = m_Db.Handle();
    return m_Run.Prepare(db, "INSERT OR REPLACE INTO run VALUES(?,?)") &&
           m_Exchange.Prepare(db, kInsertExchange) && m_Pack.Prepare(db, kInsertPack) &&
           m_ElapsedRow.Prepare(db, "INSERT OR REPLACE INTO record_elapsed VALUES(?,?)") &&
           m_Debug.Prepare(db, "INSERT INTO debug_lines(captured, text) VALUES(?,?)");
}

bool CSessionWriter::Write(const SSessionBatch& batch, std::string& error)
{
    // The pages large bodies filled are let go once they stop coming, and given back to the
    // system (freed in pieces of a page, they would stay with the allocator).
    if (m_nCacheKiB && std::chrono::steady_clock::now() >= m_LargeCacheUntil &&
        m_Db.Exec(kDefaultCache)) {
        m_nCacheKiB = 0;
        malloc_trim(0);
    }
    if (batch.Empty())
        return true;
    if (m_Db.Exec("BEGIN IMMEDIATE") && WriteRows(batch) && m_Db.Exec("COMMIT"))
        return true;
    error = "cannot write the session file " + m_strPath + ": " + m_Db.Error();
    m_Db.Exec("ROLLBACK"); // fails harmlessly when SQLite rolled back by itself
    return false;
}

bool CSessionWriter::WriteRows(const SSessionBatch& batch)
{
    for (const auto& [key, value] : batch.run) {
        m_Run.BindText(1, key);
        m_Run.BindText(2, value);
        if (!m_Run.Run())
            return false;
    }
    for (const CExchange& exchange : batch.exchanges) {
        if (!WriteExchange(exchange))
            return false;
    }
    if (!WritePacked(batch) || !WriteRecords(batch))
        return false;
    for (const auto& line : batch.debugLines) {
        m_Debug.BindInt(1, line.captured);
        m_Debug.BindBlob(2, line.text);
        if (!m_Debug.Run())
            return false;
    }
    return true;
}

bool CSessionWriter::WriteExchange(const CExchange& e)
{
    // The upstream's credentials never reach the file.
    std::string requestHead, forwardedHead;
    const std::string_view request = ProxyCredentials::Hide(e.m_strRequestHead, requestHead)
                                         ? std::string_view(requestHead)
                                         : std::string_view(e.m_strRequestHead);
    const std::string_view forwarded = ProxyCredentials::Hide(e.m_strForwardedHead, forwardedHead)
                                           ? std::string_view(forwardedHead)
                                           : std::string_view(e.m_strForwardedHead);
    // Each body: its bytes, compressed when that saves room; its sizes go with the fields.
    ExchangePack::SBodySizes sizes[2];
    std::string_view stored[2];
    const SExchangeBody* bodies[2] = {&e.m_RequestBody, &e.m_ResponseBody};
    for (int b = 0; b < 2; ++b) {
        sizes[b].zstd = BodyCompression::Compress(bodies[b]->bytes, m_Compressed[b]);
        stored[b] = sizes[b].zstd ? std::string_view(m_Compressed[b])
                                  : std::string_view(bodies[b]->bytes);
        sizes[b].kept = static_cast<std::int64_t>(bodies[b]->bytes.size());
        sizes[b].total = static_cast<std::int64_t>(bodies[b]->total);
    }
    m_PackedExchange.clear();
    ExchangePack::Append(e, request, forwarded, sizes[0], sizes[1], m_PackedExchange);
    m_Exchange.BindInt(1, static_cast<std::int64_t>(e.m_nId));
    m_Exchange.BindBlob(2, m_PackedExchange);
    const bool inPlace = stored[0].size() >= kInPlaceBody || stored[1].size() >= kInPlaceBody;
    for (int b = 0; b < 2; ++b) {
        if (inPlace)
            m_Exchange.BindZeroBlob(3 + b, stored[b].size());
        else
            m_Exchange.BindBlob(3 + b, stored[b]);
    }
    if (inPlace) {
        m_LargeCacheUntil = std::chrono::steady_clock::now() + kLargeCacheKept;
        const std::size_t cacheKiB = ((stored[0].size() + stored[1].size()) >> 10) + kCacheRoomKiB;
        const std::string cache = "PRAGMA cache_size=-" + std::to_string(cacheKiB);
        if (cacheKiB != m_nCacheKiB && m_Db.Exec(cache.c_str()))
            m_nCacheKiB = cacheKiB;
    }
    bool written = m_Exchange.Run();
    const auto row = static_cast<std::int64_t>(e.m_nId);
    for (int b = 0; b < 2 && inPlace && written; ++b) {
        if (!stored[b].empty())
            written = m_Db.WriteBlob("exchange_rows", b ? "response_body" : "request_body", row,
                                     stored[b]);
    }
    // What a large body's compression took is let go (swapped out: assigning an empty string
    // would keep the buffer).
    for (std::string& compressed : m_Compressed) {
        if (compressed.capacity() > kKeptCompressedRoom)
            std::string().swap(compressed);
    }
    return written;
}

bool CSessionWriter::WriteRecords(const SSessionBatch& batch)
{
    const std::size_t count = batch.records.size();
    if (count == 0)
        return WritePendingElapsed();
    ++m_nBatch;
    m_Rows.resize(count);
    m_BatchElapsed.resize(count);
    // Rows first, and each request's time as its answer's chunks of this batch leave it: a
    // request of this batch is packed with it, one of an earlier batch gets a row of its own.
    auto update = batch.elapsed.begin();
    for (std::size_t i = 0; i < count; ++i) {
        const STraceRecordFields& r = batch.records[i];
        const auto serial = static_cast<std::int64_t>(r.serial);
        m_nLastRow = serial > m_nLastRow ? serial : m_nLastRow + 1;
        m_Rows[i] = m_nLastRow;
        m_BatchElapsed[i] = r.elapsed;
        if (r.direction == ETraceDirection::Sent) {
            if (m_LastRequests.size() >= kMaxRememberedConnections) {
                if (!WritePendingElapsed())
                    return false;
                m_LastRequests.clear();
            }
            m_LastRequests[r.connectionId] = {r.sequence, m_nLastRow, m_nBatch, i};
        }
        for (; update != batch.elapsed.end() && update->afterRecord == i; ++update) {
            const auto request = m_LastRequests.find(update->connectionId);
            if (request == m_LastRequests.end() || request->second.sequence != update->sequence)
                continue;
            if (request->second.batch == m_nBatch)
                m_BatchElapsed[request->second.index] = update->elapsed;
            else
                m_PendingElapsed[request->second.row] = update->elapsed;
        }
    }
    std::size_t from = 0, bytes = 0;
    for (std::size_t i = 0; i < count; ++i) {
        bytes += batch.records[i].header.size() + batch.records[i].text.size();
        if (i + 1 - from == RecordPack::kMaxRecords || bytes >= RecordPack::kMaxBytes || i + 1 == count) {
            if (!WritePack(batch, from, i + 1))
                return false;
            from = i + 1;
            bytes = 0;
        }
    }
    return WritePendingElapsed();
}

bool CSessionWriter::WritePack(const SSessionBatch& batch, std::size_t from, std::size_t to)
{
    m_Packed.clear();
    std::int64_t previousRow = m_Rows[from] - 1, previousCaptured = 0;
    std::string header, text;
    for (std::size_t i = from; i < to; ++i) {
        const STraceRecordFields& r = batch.records[i];
        RecordPack::SRecord packed = RecordPack::View(r);
        packed.row = m_Rows[i];
        packed.elapsed = m_BatchElapsed[i];
        // What went to a server may carry the upstream's credentials: never into the file.
        if (r.direction == ETraceDirection::Sent && r.part == ETracePart::Header) {
            if (ProxyCredentials::Hide(r.header, header))
                packed.header = header;
            if (ProxyCredentials::Hide(r.text, text))
                packed.text = text;
        }
        RecordPack::Append(packed, previousRow, previousCaptured, m_Packed);
        previousRow = m_Rows[i];
        previousCaptured = static_cast<std::int64_t>(r.captured);
    }
    if (!InsertPack(m_Rows[from], m_Rows[to - 1], to - from, m_Packed))
        return false;
    // What a burst of large texts made is let go.
    if (m_Packed.capacity() > 4 * RecordPack::kMaxBytes)
        std::string().swap(m_Packed);
    return true;
}

bool CSessionWriter::InsertPack(std::int64_t firstRow, std::int64_t lastRow, std::size_t count,
                                std::string_view packed)
{
    m_Pack.BindInt(1, lastRow);
    m_Pack.BindInt(2, firstRow);
    m_Pack.BindInt(3, static_cast<std::int64_t>(count));
    m_Pack.BindBlob(4, packed);
    return m_Pack.Run();
}

bool CSessionWriter::WritePacked(const SSessionBatch& batch)
{
    for (const SSessionBatch::SPack& pack : batch.packs) {
        if (pack.count && !InsertPack(pack.firstRow, pack.lastRow, pack.count, pack.bytes))
            return false;
    }
    for (const SSessionBatch::SRowElapsed& later : batch.rowElapsed) {
        m_ElapsedRow.BindInt(1, later.row);
        m_ElapsedRow.BindInt(2, later.elapsed);
        if (!m_ElapsedRow.Run())
            return false;
    }
    return true;
}

bool CSessionWriter::WritePendingElapsed()
{
    for (const auto& [row, elapsed] : m_PendingElapsed) {
        m_ElapsedRow.BindInt(1, row);
        m_ElapsedRow.BindInt(2, elapsed);
        if (!m_ElapsedRow.Run())
            return false;
    }
    m_PendingElapsed.clear();
    return true;
}
