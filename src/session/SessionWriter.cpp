#include "session/SessionWriter.h"

#include "session/BodyCompression.h"
#include "session/SessionBatch.h"
#include "session/SessionSchema.h"

#include <map>
#include <utility>

namespace {
constexpr const char* kInsertExchange =
    "INSERT OR REPLACE INTO exchanges VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,"
    "?,?,?,?,?,?,?)";
constexpr const char* kInsertRecord =
    "INSERT OR REPLACE INTO records VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
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
           m_Elapsed.Prepare(db, "UPDATE records SET elapsed=? WHERE connection=? AND sequence=?") &&
           m_Debug.Prepare(db, "INSERT INTO debug_lines(captured, text) VALUES(?,?)");
}

bool CSessionWriter::Write(const SSessionBatch& batch, std::string& error)
{
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
    for (const STraceRecordFields& record : batch.records) {
        if (!WriteRecord(record))
            return false;
    }
    // A busy response updates its request's time with every chunk: only the latest counts.
    std::map<std::pair<int, int>, std::int32_t> latest;
    for (const auto& update : batch.elapsed)
        latest[{update.connectionId, update.sequence}] = update.elapsed;
    for (const auto& [key, elapsed] : latest) {
        m_Elapsed.BindInt(1, elapsed);
        m_Elapsed.BindInt(2, key.first);
        m_Elapsed.BindInt(3, key.second);
        if (!m_Elapsed.Run())
            return false;
    }
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
    s.BindBlob(++i, e.m_strRequestHead);
    s.BindBlob(++i, e.m_strForwardedHead);
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

bool CSessionWriter::WriteRecord(const STraceRecordFields& r)
{
    CSqliteStatement& s = m_Record;
    int i = 0;
    s.BindInt(++i, r.connectionId);
    s.BindInt(++i, r.sequence);
    s.BindInt(++i, static_cast<int>(r.direction));
    s.BindInt(++i, static_cast<int>(r.part));
    s.BindInt(++i, r.bytes);
    s.BindInt(++i, r.startTick);
    s.BindInt(++i, r.endTick);
    s.BindInt(++i, r.elapsed);
    s.BindBlob(++i, r.header);
    s.BindBlob(++i, r.text);
    s.BindText(++i, r.contentType);
    s.BindText(++i, r.charset);
    s.BindText(++i, r.origin);
    s.BindInt(++i, r.binary);
    s.BindInt(++i, r.ssl);
    s.BindInt(++i, r.headerIncomplete);
    s.BindInt(++i, static_cast<std::int64_t>(r.captured));
    s.BindInt(++i, static_cast<std::int64_t>(r.exchange));
    return s.Run();
}
