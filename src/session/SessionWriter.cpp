#include "session/SessionWriter.h"

#include "session/BodyCompression.h"
#include "session/ProxyCredentials.h"
#include "session/SessionBatch.h"
#include "session/SessionSchema.h"

#include <sqlite3.h>

#include <utility>

namespace {
constexpr const char* kInsertExchange =
    "INSERT OR REPLACE INTO exchanges VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,"
    "?,?,?,?,?,?,?)";
// The rowid is the record's serial: the store reads a record's texts back by it.
constexpr const char* kInsertRecord =
    "INSERT INTO records(rowid,connection,sequence,direction,part,bytes,start_tick,end_tick,"
    "elapsed,header,text,content_type,charset,origin,binary,ssl,header_incomplete,captured,"
    "exchange) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
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
           m_Exchange.Prepare(db, kInsertExchange) && m_Record.Prepare(db, kInsertRecord) &&
           m_Elapsed.Prepare(db, "UPDATE records SET elapsed=? WHERE rowid=?") &&
           m_Debug.Prepare(db, "INSERT INTO debug_lines(captured, text) VALUES(?,?)");
}

bool CSessionWriter::Write(const SSessionBatch& batch, std::string& error)
{
    if (batch.Empty())
        return true;
    if (m_Db.Exec("BEGIN IMMEDIATE") && WriteRows(batch) && m_Db.Exec("COMMIT"))
        return true;
    error = "cannot write the session file " + m_strPath + ": " + m_Db.Error();
    m_HeldRequests.clear(); // they point into the batch
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
    auto update = batch.elapsed.begin();
    for (std::size_t i = 0; i < batch.records.size(); ++i) {
        if (!WriteRecord(batch.records[i]))
            return false;
        for (; update != batch.elapsed.end() && update->afterRecord == i; ++update) {
            const auto held = m_HeldRequests.find(update->connectionId);
            const auto row = m_LastRequestRows.find(update->connectionId);
            if (held != m_HeldRequests.end() && held->second.record->sequence == update->sequence)
                held->second.elapsed = update->elapsed;
            else if (row != m_LastRequestRows.end() && row->second.first == update->sequence)
                m_PendingElapsed[update->connectionId] = update->elapsed;
        }
    }
    // The requests held back go in with their time as it stands at the batch's end.
    for (auto held = m_HeldRequests.begin(); held != m_HeldRequests.end();) {
        if (!WriteHeldRequest(held->second))
            return false;
        held = m_HeldRequests.erase(held);
    }
    if (!WriteAllPendingElapsed())
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
    CSqliteStatement& s = m_Exchange;
    int i = 0;
    s.BindInt(++i, static_cast<std::int64_t>(e.m_nId));
    s.BindInt(++i, e.m_nBrowserConnection);
    s.BindInt(++i, e.m_nServerConnection);
    s.BindInt(++i, e.m_bHttps);
    s.BindText(++i, e.m_strHost);
    s.BindInt(++i, e.m_nPort);
    s.BindInt(++i, e.m_nFlags);
    s.BindInt(++i, static_cast<std::int64_t>(e.m_nReplayOf));
    s.BindText(++i, e.m_strMethod);
    s.BindBlob(++i, e.m_strTarget);
    s.BindText(++i, e.m_strVersion);
    // The upstream's credentials never reach the file.
    std::string requestHead, forwardedHead;
    s.BindBlob(++i, ProxyCredentials::Hide(e.m_strRequestHead, requestHead)
                        ? std::string_view(requestHead)
                        : std::string_view(e.m_strRequestHead));
    s.BindBlob(++i, ProxyCredentials::Hide(e.m_strForwardedHead, forwardedHead)
                        ? std::string_view(forwardedHead)
                        : std::string_view(e.m_strForwardedHead));
    // Each body: its bytes (compressed when that saves room), how many were kept, how many
    // went through, and whether it is compressed. Bound one after the other: the packed bytes
    // must live until the step.
    std::string packedRequest, packedResponse;
    for (const auto* body : {&e.m_RequestBody, &e.m_ResponseBody}) {
        std::string& packed = body == &e.m_RequestBody ? packedRequest : packedResponse;
        const bool compressed = BodyCompression::Compress(body->bytes, packed);
        s.BindBlob(++i, compressed ? std::string_view(packed) : std::string_view(body->bytes));
        s.BindInt(++i, static_cast<std::int64_t>(body->bytes.size()));
        s.BindInt(++i, static_cast<std::int64_t>(body->total));
        s.BindInt(++i, compressed);
        if (body == &e.m_RequestBody) {
            s.BindInt(++i, e.m_nStatus);
            s.BindText(++i, e.m_strReason);
            s.BindBlob(++i, e.m_strResponseHead);
        }
    }
    s.BindInt(++i, static_cast<std::int64_t>(e.m_nUnexpectedBytes));
    const SExchangeTimes& t = e.m_Times;
    for (std::int64_t time : {t.started, t.resolved, t.connected, t.tlsDone, t.requestSent,
                              t.firstByte, t.ended})
        s.BindInt(++i, time);
    s.BindInt(++i, static_cast<int>(e.m_nEnd));
    s.BindText(++i, e.m_strEndReason);
    return s.Run();
}

bool CSessionWriter::WritePendingElapsed(int connectionId)
{
    const auto pending = m_PendingElapsed.find(connectionId);
    if (pending == m_PendingElapsed.end())
        return true;
    m_Elapsed.BindInt(1, pending->second);
    m_Elapsed.BindInt(2, m_LastRequestRows.at(connectionId).second);
    m_PendingElapsed.erase(pending);
    return m_Elapsed.Run();
}

bool CSessionWriter::WriteAllPendingElapsed()
{
    for (const auto& [connection, elapsed] : m_PendingElapsed) {
        m_Elapsed.BindInt(1, elapsed);
        m_Elapsed.BindInt(2, m_LastRequestRows.at(connection).second);
        if (!m_Elapsed.Run())
            return false;
    }
    m_PendingElapsed.clear();
    return true;
}

bool CSessionWriter::WriteRecord(const STraceRecordFields& r)
{
    if (r.direction != ETraceDirection::Sent || r.serial == 0)
        return InsertRecord(r, r.elapsed);
    // A request's time grows with each chunk of its answer: its row waits for the next request
    // of its connection or the batch's end, and goes in once instead of being updated per batch.
    // (Its rowid is its serial, so the rows' order does not change.)
    const auto held = m_HeldRequests.find(r.connectionId);
    if (held != m_HeldRequests.end()) {
        if (!WriteHeldRequest(held->second))
            return false;
        held->second = {&r, r.elapsed};
    } else {
        if (!WritePendingElapsed(r.connectionId))
            return false;
        m_HeldRequests.emplace(r.connectionId, SHeldRequest{&r, r.elapsed});
    }
    return true;
}

bool CSessionWriter::WriteHeldRequest(const SHeldRequest& held)
{
    const STraceRecordFields& r = *held.record;
    if (!InsertRecord(r, held.elapsed))
        return false;
    if (m_LastRequestRows.size() >= kMaxRememberedConnections) {
        if (!WriteAllPendingElapsed())
            return false;
        m_LastRequestRows.clear();
    }
    m_LastRequestRows[r.connectionId] = {r.sequence, static_cast<std::int64_t>(r.serial)};
    return true;
}

bool CSessionWriter::InsertRecord(const STraceRecordFields& r, std::int32_t elapsed)
{
    CSqliteStatement& s = m_Record;
    int i = 0;
    if (r.serial != 0)
        s.BindInt(++i, static_cast<std::int64_t>(r.serial));
    else
        s.BindNull(++i); // the next one
    s.BindInt(++i, r.connectionId);
    s.BindInt(++i, r.sequence);
    s.BindInt(++i, static_cast<int>(r.direction));
    s.BindInt(++i, static_cast<int>(r.part));
    s.BindInt(++i, r.bytes);
    s.BindInt(++i, r.startTick);
    s.BindInt(++i, r.endTick);
    s.BindInt(++i, elapsed);
    // What went to a server may carry the upstream's credentials: never into the file.
    std::string header, text;
    const bool sent = r.direction == ETraceDirection::Sent && r.part == ETracePart::Header;
    s.BindBlob(++i, sent && ProxyCredentials::Hide(r.header, header) ? std::string_view(header)
                                                                     : std::string_view(r.header));
    s.BindBlob(++i, sent && ProxyCredentials::Hide(r.text, text) ? std::string_view(text)
                                                                 : std::string_view(r.text));
    s.BindText(++i, r.contentType);
    s.BindText(++i, r.charset);
    s.BindText(++i, r.origin);
    s.BindInt(++i, r.binary);
    s.BindInt(++i, r.ssl);
    s.BindInt(++i, r.headerIncomplete);
    s.BindInt(++i, static_cast<std::int64_t>(r.captured));
    s.BindInt(++i, static_cast<std::int64_t>(r.exchange));
    if (!s.Run())
        return false;
    if (r.direction == ETraceDirection::Sent && r.serial == 0) {
        if (!WritePendingElapsed(r.connectionId))
            return false;
        if (m_LastRequestRows.size() >= kMaxRememberedConnections) {
            if (!WriteAllPendingElapsed())
                return false;
            m_LastRequestRows.clear();
        }
        m_LastRequestRows[r.connectionId] = {r.sequence, sqlite3_last_insert_rowid(m_Db.Handle())};
    }
    return true;
}
