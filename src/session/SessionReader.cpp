#include "session/SessionReader.h"

#include "session/SessionFileCheck.h"
#include "session/SessionRows.h"
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
    return SessionFileCheck::OpenChecked(m_Db, path, m_strError);
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
    const std::string sql =
        std::string("SELECT ") + SessionRows::kExchangeColumns + " FROM exchanges ORDER BY id";
    if (!row.Prepare(m_Db.Handle(), sql.c_str()))
        return Damaged();
    EStep step;
    std::string problem;
    while ((step = row.Step()) == EStep::Row) {
        auto exchange = std::make_shared<CExchange>();
        if (!SessionRows::ReadExchange(row, 0, *exchange, problem))
            return Damaged(problem);
        if (!store.AdoptExchange(std::move(exchange)))
            return Damaged("its exchanges are not numbered in order");
    }
    return step == EStep::Done || Damaged();
}

bool CSessionReader::ReadRecords(CTraceStore& store)
{
    CSqliteStatement row;
    // In the order they were made; each entry's records among them in their own order.
    // The rowid last: the record's serial, by which the store reads its texts back.
    const std::string sql = std::string("SELECT ") + SessionRows::kRecordColumns
        + ", rowid FROM records ORDER BY rowid";
    if (!row.Prepare(m_Db.Handle(), sql.c_str()))
        return Damaged();
    struct SEntry {
        bool ssl = false;
        std::vector<std::unique_ptr<CTraceRecord>> records;
    };
    std::map<int, SEntry> entries; // by number: the order they were made in
    EStep step;
    std::string problem;
    while ((step = row.Step()) == EStep::Row) {
        STraceRecordFields r;
        if (!SessionRows::ReadRecord(row, 0, r, problem))
            return Damaged(problem);
        r.serial = static_cast<std::uint64_t>(std::max<std::int64_t>(row.Int(row.Columns() - 1), 0));
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
