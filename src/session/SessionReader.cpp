#include "session/SessionReader.h"

#include "session/BodyCompression.h"
#include "session/SessionFileCheck.h"
#include "session/SessionSchema.h"
#include "session/SqliteStatement.h"
#include "trace/Exchange.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

#include <algorithm>
#include <climits>
#include <map>
#include <vector>
#include <memory>

namespace {
using EStep = CSqliteStatement::EStep;
constexpr int kExchangeColumns = 34;
constexpr int kRecordColumns = 18;

bool InRange(std::int64_t value, std::int64_t low, std::int64_t high)
{
    return value >= low && value <= high;
}
} // namespace

bool CSessionReader::Read(const std::string& path, CTraceStore& store, SSessionInfo& info,
                          std::string& error)
{
    m_strPath = path;
    const bool read = Open(path) && ReadRun(info) && ReadExchanges(store) &&
                      ReadRecords(store) && ReadDebugLines(info);
    m_Db.Close();
    if (!read)
        error = m_strError;
    return read;
}

bool CSessionReader::Open(const std::string& path)
{
    if (!SessionFileCheck::CheckFile(path, m_strError))
        return false;
    if (!m_Db.Open(path, false)) {
        m_strError = "cannot open " + path + ": " + m_Db.Error();
        return false;
    }
    // The header told what the file was; the database (its log included) must say the same.
    long long application = 0, version = 0;
    if (!m_Db.PragmaInteger("application_id", application) ||
        !m_Db.PragmaInteger("user_version", version))
        return Damaged();
    if (application != SessionSchema::kApplicationId)
        return Damaged("it is not a Kestrune session");
    if (version > SessionSchema::kVersion) {
        m_strError = path + " was written by a newer Kestrune (session format " +
                     std::to_string(version) + ")";
        return false;
    }
    return true;
}

bool CSessionReader::ReadRun(SSessionInfo& info)
{
    CSqliteStatement row;
    if (!row.Prepare(m_Db.Handle(), "SELECT key, value FROM run ORDER BY key"))
        return Damaged();
    EStep step;
    while ((step = row.Step()) == EStep::Row)
        info.run.emplace_back(row.Bytes(0), row.Bytes(1));
    return step == EStep::Done || Damaged();
}

bool CSessionReader::ReadExchanges(CTraceStore& store)
{
    CSqliteStatement row;
    if (!row.Prepare(m_Db.Handle(), "SELECT * FROM exchanges ORDER BY id"))
        return Damaged();
    if (row.Columns() != kExchangeColumns)
        return Damaged("its exchanges have another layout");
    EStep step;
    while ((step = row.Step()) == EStep::Row) {
        auto exchange = std::make_shared<CExchange>();
        if (!ReadExchange(row, *exchange))
            return false;
        if (!store.AdoptExchange(std::move(exchange)))
            return Damaged("its exchanges are not numbered in order");
    }
    return step == EStep::Done || Damaged();
}

bool CSessionReader::ReadExchange(const CSqliteStatement& row, CExchange& e)
{
    int i = 0;
    const std::int64_t id = row.Int(i++);
    e.m_nBrowserConnection = static_cast<int>(row.Int(i++));
    e.m_nServerConnection = static_cast<int>(row.Int(i++));
    e.m_bHttps = row.Int(i++) != 0;
    e.m_strHost = row.Bytes(i++);
    const std::int64_t port = row.Int(i++);
    const std::int64_t flags = row.Int(i++);
    e.m_nReplayOf = static_cast<std::uint64_t>(row.Int(i++));
    if (id < 1 || !InRange(port, 0, 65535) || !InRange(flags, 0, 255))
        return Damaged("an exchange's number, port or flags are out of range");
    e.m_nId = static_cast<std::uint64_t>(id);
    e.m_nPort = static_cast<std::uint16_t>(port);
    e.m_nFlags = static_cast<std::uint8_t>(flags);
    e.m_strMethod = row.Bytes(i++);
    e.m_strTarget = row.Bytes(i++);
    e.m_strVersion = row.Bytes(i++);
    e.m_strRequestHead = row.Bytes(i++);
    e.m_strForwardedHead = row.Bytes(i++);
    if (!ReadBody(row, i, e.m_RequestBody))
        return false;
    i += 4;
    e.m_nStatus = static_cast<int>(row.Int(i++));
    e.m_strReason = row.Bytes(i++);
    e.m_strResponseHead = row.Bytes(i++);
    if (!ReadBody(row, i, e.m_ResponseBody))
        return false;
    i += 4;
    e.m_nUnexpectedBytes = static_cast<std::uint64_t>(row.Int(i++));
    SExchangeTimes& t = e.m_Times;
    for (std::int64_t* time : {&t.started, &t.resolved, &t.connected, &t.tlsDone,
                               &t.requestSent, &t.firstByte, &t.ended})
        *time = row.Int(i++);
    const std::int64_t end = row.Int(i++);
    if (!InRange(end, 0, static_cast<int>(EExchangeEnd::Refused)))
        return Damaged("an exchange's end state is unknown");
    e.m_nEnd = static_cast<EExchangeEnd>(end);
    e.m_strEndReason = row.Bytes(i++);
    return true;
}

bool CSessionReader::ReadBody(const CSqliteStatement& row, int column, SExchangeBody& body)
{
    std::string stored = row.Bytes(column);
    const std::int64_t kept = row.Int(column + 1);
    const std::int64_t total = row.Int(column + 2);
    const bool compressed = row.Int(column + 3) != 0;
    if (!InRange(kept, 0, CExchange::kMaxKeptBody) || total < kept)
        return Damaged("a body's sizes are out of range");
    const auto size = static_cast<std::size_t>(kept);
    if (compressed) {
        if (!BodyCompression::Decompress(stored, size, body.bytes))
            return Damaged("a compressed body does not unpack");
    } else if (stored.size() != size) {
        return Damaged("a body's size does not match its bytes");
    } else {
        body.bytes = std::move(stored);
    }
    body.total = static_cast<std::uint64_t>(total);
    return true;
}

bool CSessionReader::ReadRecords(CTraceStore& store)
{
    CSqliteStatement row;
    // In the order they were made; each entry's records among them in their own order.
    // The rowid last: the record's serial, by which the store reads its texts back.
    if (!row.Prepare(m_Db.Handle(), "SELECT *, rowid FROM records ORDER BY rowid"))
        return Damaged();
    if (row.Columns() != kRecordColumns + 1)
        return Damaged("its records have another layout");
    struct SEntry {
        bool ssl = false;
        std::vector<std::unique_ptr<CTraceRecord>> records;
    };
    std::map<int, SEntry> entries; // by number: the order they were made in
    EStep step;
    while ((step = row.Step()) == EStep::Row) {
        STraceRecordFields r;
        int i = 0;
        const std::int64_t connection = row.Int(i++);
        const std::int64_t sequence = row.Int(i++);
        const std::int64_t direction = row.Int(i++);
        const std::int64_t part = row.Int(i++);
        const std::int64_t bytes = row.Int(i++);
        if (!InRange(connection, 1, INT_MAX) || !InRange(sequence, 1, INT_MAX) ||
            !InRange(direction, 0, 1) || !InRange(part, 1, 2) || !InRange(bytes, 0, INT32_MAX))
            return Damaged("a record's fields are out of range");
        r.connectionId = static_cast<int>(connection);
        r.sequence = static_cast<int>(sequence);
        r.direction = static_cast<ETraceDirection>(direction);
        r.part = static_cast<ETracePart>(part);
        r.bytes = static_cast<std::int32_t>(bytes);
        r.startTick = static_cast<std::uint32_t>(row.Int(i++));
        r.endTick = static_cast<std::uint32_t>(row.Int(i++));
        r.elapsed = static_cast<std::int32_t>(row.Int(i++));
        r.header = row.Bytes(i++);
        r.text = row.Bytes(i++);
        r.contentType = row.Bytes(i++);
        r.charset = row.Bytes(i++);
        r.origin = row.Bytes(i++);
        r.binary = row.Int(i++) != 0;
        r.ssl = row.Int(i++) != 0;
        r.headerIncomplete = row.Int(i++) != 0;
        r.captured = static_cast<std::time_t>(row.Int(i++));
        r.exchange = static_cast<std::uint64_t>(row.Int(i++));
        r.serial = static_cast<std::uint64_t>(std::max<std::int64_t>(row.Int(i++), 0));
        SEntry& entry = entries[r.connectionId];
        entry.ssl = entry.records.empty() ? r.ssl : entry.ssl;
        entry.records.push_back(std::make_unique<CTraceRecord>(r));
    }
    if (step != EStep::Done)
        return Damaged();
    for (auto& [id, made] : entries) {
        CTraceConnection* entry = store.AdoptConnection(id, made.ssl);
        for (auto& record : made.records)
            entry->AdoptRecord(std::move(record));
    }
    return true;
}

bool CSessionReader::ReadDebugLines(SSessionInfo& info)
{
    CSqliteStatement row;
    if (!row.Prepare(m_Db.Handle(), "SELECT captured, text FROM debug_lines ORDER BY id"))
        return Damaged();
    EStep step;
    while ((step = row.Step()) == EStep::Row)
        info.debugLines.push_back({static_cast<std::time_t>(row.Int(0)), row.Bytes(1)});
    return step == EStep::Done || Damaged();
}

bool CSessionReader::Damaged() { return Damaged(m_Db.Error()); }

bool CSessionReader::Damaged(const std::string& what)
{
    m_strError = m_strPath + " is damaged or not a Kestrune session: " + what;
    return false;
}
