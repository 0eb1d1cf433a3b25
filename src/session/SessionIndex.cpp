#include "session/SessionIndex.h"

#include <algorithm>

#include "session/SessionFileCheck.h"
#include "session/SessionRows.h"
#include "trace/Exchange.h"
#include "trace/ListingFilter.h"
#include "trace/TraceRecord.h"

#include <sqlite3.h>

namespace {
using EStep = CSqliteStatement::EStep;

int DepthIndex(CSessionIndex::EDepth depth)
{
    return depth == CSessionIndex::EDepth::Whole ? 1 : 0;
}

const char* ExchangeColumns(CSessionIndex::EDepth depth)
{
    return depth == CSessionIndex::EDepth::Whole ? SessionRows::kExchangeColumns
                                                 : SessionRows::kLightExchangeColumns;
}

const char* RecordColumns(CSessionIndex::EDepth depth)
{
    return depth == CSessionIndex::EDepth::Whole ? SessionRows::kRecordColumns
                                                 : SessionRows::kLightRecordColumns;
}

// The columns of the record's exchange that its facts come from, after the record's own.
constexpr const char* kFactColumns = "e.id, e.method, e.host, e.port, e.https, e.status";

// summary(header, start of text, origin): the record's summary line, as the Listing shows it.
void SummaryFunction(sqlite3_context* context, int, sqlite3_value** values)
{
    const auto bytes = [values](int i) {
        const auto* data = static_cast<const char*>(sqlite3_value_blob(values[i]));
        return data ? std::string(data, static_cast<std::size_t>(sqlite3_value_bytes(values[i])))
                    : std::string();
    };
    STraceRecordFields fields;
    fields.header = bytes(0);
    fields.text = bytes(1);
    fields.origin = bytes(2);
    const std::string summary = CTraceRecord(fields).GetSummary();
    sqlite3_result_blob64(context, summary.data(), summary.size(), SQLITE_TRANSIENT);
}

// The columns an exchange's sort key is made from, in the order ExchangeKeyFunction reads them.
constexpr char kExchangeKeyColumns[] =
    "id, https, host, port, flags, method, target, status, "
    "response_head, response_body_total, started, ended, end_state";
constexpr int kExchangeKeyArguments = 13;

struct SExchangeKeyCall {
    const CSessionIndex::SExchangeSortKey& key;
    CExchange exchange; // refilled for each row
};

void ExchangeKeyFunction(sqlite3_context* context, int, sqlite3_value** values)
{
    auto& call = *static_cast<SExchangeKeyCall*>(sqlite3_user_data(context));
    auto bytes = [values](int i, std::string& into) {
        const auto* data = static_cast<const char*>(sqlite3_value_blob(values[i]));
        into.assign(data ? data : "", static_cast<std::size_t>(sqlite3_value_bytes(values[i])));
    };
    auto number = [values](int i) { return sqlite3_value_int64(values[i]); };
    CExchange& e = call.exchange;
    e.m_nId = static_cast<std::uint64_t>(number(0));
    e.m_bHttps = number(1) != 0;
    bytes(2, e.m_strHost);
    e.m_nPort = static_cast<std::uint16_t>(number(3));
    e.m_nFlags = static_cast<std::uint8_t>(number(4));
    bytes(5, e.m_strMethod);
    bytes(6, e.m_strTarget);
    e.m_nStatus = static_cast<int>(number(7));
    bytes(8, e.m_strResponseHead);
    e.m_ResponseBody.total = static_cast<std::uint64_t>(number(9));
    e.m_Times.started = number(10);
    e.m_Times.ended = number(11);
    e.m_nEnd = static_cast<EExchangeEnd>(static_cast<std::uint8_t>(number(12)));
    if (call.key.text) {
        const std::string_view text = call.key.text(e);
        sqlite3_result_blob64(context, text.data(), text.size(), SQLITE_TRANSIENT);
    } else {
        sqlite3_result_int64(context, call.key.number ? call.key.number(e) : 0);
    }
}

// The ORDER BY of a record sort; ties go by entry, then in the order the records were made.
std::string RecordOrder(CSessionIndex::ERecordKey key, bool descending)
{
    const char* direction = descending ? " DESC, " : ", ";
    switch (key) {
    case CSessionIndex::ERecordKey::Summary:
        return std::string("summary(header, substr(CAST(text AS BLOB), 1, 100), origin)")
               + direction + "connection, rowid";
    case CSessionIndex::ERecordKey::Id:
        return std::string("connection") + direction + "sequence" + direction + "rowid";
    case CSessionIndex::ERecordKey::Time:
        return std::string("captured") + direction + "connection, rowid";
    case CSessionIndex::ERecordKey::Bytes:
        return std::string("bytes") + direction + "connection, rowid";
    case CSessionIndex::ERecordKey::ResponseTime:
        break;
    }
    return std::string("elapsed") + direction + "connection, rowid";
}
} // namespace

bool CSessionIndex::Open(const std::string& path, std::string& error)
{
    m_strPath = path;
    m_strError.clear();
    if (!SessionFileCheck::OpenChecked(m_Db, path, m_strError)) {
        error = m_strError;
        return false;
    }
    // Every statement is made now: a file without the tables or columns is refused at once,
    // not when a row is first shown.
    for (EDepth depth : {EDepth::Light, EDepth::Whole}) {
        const int d = DepthIndex(depth);
        const std::string exchanges =
            std::string("SELECT ") + ExchangeColumns(depth) + " FROM exchanges ";
        const std::string records =
            std::string("SELECT rowid, ") + RecordColumns(depth) + " FROM records ";
        std::string withFacts = std::string("SELECT r.rowid, ") + RecordColumns(depth) + ", "
                                + kFactColumns
                                + " FROM records AS r LEFT JOIN exchanges AS e ON e.id = r.exchange"
                                  " WHERE r.rowid > ?1 ORDER BY r.rowid LIMIT ?2";
        if (!m_Exchange[d].Prepare(m_Db.Handle(), (exchanges + "WHERE id = ?1").c_str())
            || !m_Exchanges[d].Prepare(m_Db.Handle(),
                                       (exchanges + "WHERE id > ?1 ORDER BY id LIMIT ?2").c_str())
            || !m_Record[d].Prepare(m_Db.Handle(), (records + "WHERE rowid = ?1").c_str())
            || !m_Records[d].Prepare(m_Db.Handle(),
                                     (records + "WHERE rowid > ?1 ORDER BY rowid LIMIT ?2").c_str())
            || !m_RecordsWithFacts[d].Prepare(m_Db.Handle(), withFacts.c_str())) {
            Damaged();
            error = m_strError;
            m_Db.Close();
            return false;
        }
    }
    if (!m_ExchangeIds.Prepare(m_Db.Handle(),
                               "SELECT id FROM exchanges WHERE id > ?1 ORDER BY id LIMIT ?2")
        || !m_RecordRows.Prepare(
            m_Db.Handle(),
            "SELECT rowid, connection FROM records WHERE rowid > ?1 ORDER BY rowid LIMIT ?2")) {
        Damaged();
        error = m_strError;
        m_Db.Close();
        return false;
    }
    return true;
}

bool CSessionIndex::ReadInfo(SSessionInfo& info)
{
    if (!ReadRun(info))
        return false;
    CSqliteStatement debug;
    if (!debug.Prepare(m_Db.Handle(), "SELECT captured, text FROM debug_lines ORDER BY id"))
        return Damaged();
    EStep step;
    while ((step = debug.Step()) == EStep::Row)
        info.debugLines.push_back({static_cast<std::time_t>(debug.Int(0)), debug.Bytes(1)});
    return step == EStep::Done || Damaged();
}

bool CSessionIndex::ReadRun(SSessionInfo& info)
{
    CSqliteStatement run;
    if (!run.Prepare(m_Db.Handle(), "SELECT key, value FROM run ORDER BY key"))
        return Damaged();
    EStep step;
    while ((step = run.Step()) == EStep::Row)
        info.run.emplace_back(run.Bytes(0), run.Bytes(1));
    return step == EStep::Done || Damaged();
}

bool CSessionIndex::CountExchanges(std::uint64_t& count)
{
    CSqliteStatement row;
    if (!row.Prepare(m_Db.Handle(), "SELECT count(*) FROM exchanges") || row.Step() != EStep::Row)
        return Damaged();
    count = static_cast<std::uint64_t>(row.Int(0));
    return true;
}

bool CSessionIndex::CountRecords(std::uint64_t& count)
{
    // Packs say how many records they hold: no need to unpack them all (a file of the older
    // layout has no packs, and a row per record).
    CSqliteStatement row;
    const bool packed = row.Prepare(m_Db.Handle(), "SELECT total(count) FROM record_packs");
    if ((!packed && !row.Prepare(m_Db.Handle(), "SELECT count(*) FROM records"))
        || row.Step() != EStep::Row)
        return Damaged();
    count = static_cast<std::uint64_t>(row.Int(0));
    return true;
}

bool CSessionIndex::ExchangeIds(std::uint64_t after, std::size_t max,
                                std::vector<std::uint64_t>& ids)
{
    CSqliteStatement& s = m_ExchangeIds;
    s.BindInt(1, static_cast<std::int64_t>(after));
    s.BindInt(2, static_cast<std::int64_t>(max));
    EStep step;
    while ((step = s.Step()) == EStep::Row) {
        const std::int64_t id = s.Int(0);
        if (id < 1) {
            s.Reset();
            return Damaged("an exchange's number is out of range");
        }
        ids.push_back(static_cast<std::uint64_t>(id));
    }
    s.Reset();
    return step == EStep::Done || Damaged();
}

bool CSessionIndex::RecordRows(std::int64_t after, std::size_t max, std::vector<std::int64_t>& rows,
                               std::vector<int>& connections)
{
    CSqliteStatement& s = m_RecordRows;
    s.BindInt(1, after);
    s.BindInt(2, static_cast<std::int64_t>(max));
    EStep step;
    while ((step = s.Step()) == EStep::Row) {
        rows.push_back(s.Int(0));
        connections.push_back(static_cast<int>(s.Int(1)));
    }
    s.Reset();
    return step == EStep::Done || Damaged();
}

bool CSessionIndex::ReadExchange(std::uint64_t id, EDepth depth, CExchange& exchange)
{
    m_strError.clear();
    CSqliteStatement& s = m_Exchange[DepthIndex(depth)];
    s.BindInt(1, static_cast<std::int64_t>(id));
    const EStep step = s.Step();
    std::string problem;
    const bool read = step == EStep::Row && SessionRows::ReadExchange(s, 0, exchange, problem);
    s.Reset();
    if (step == EStep::Failed)
        return Damaged();
    return read || (step == EStep::Done ? false : Damaged(problem));
}

bool CSessionIndex::ReadRecord(std::int64_t row, EDepth depth, STraceRecordFields& record)
{
    m_strError.clear();
    CSqliteStatement& s = m_Record[DepthIndex(depth)];
    s.BindInt(1, row);
    const EStep step = s.Step();
    std::string problem;
    const bool read = step == EStep::Row && SessionRows::ReadRecord(s, 1, record, problem);
    if (read) // the rowid is the record's serial, as the recording store numbered it
        record.serial = static_cast<std::uint64_t>(std::max<std::int64_t>(row, 0));
    s.Reset();
    if (step == EStep::Failed)
        return Damaged();
    return read || (step == EStep::Done ? false : Damaged(problem));
}

long CSessionIndex::VisitExchanges(std::uint64_t after, std::size_t max, EDepth depth,
                                   const ExchangeVisitor& visit)
{
    CSqliteStatement& s = m_Exchanges[DepthIndex(depth)];
    s.BindInt(1, static_cast<std::int64_t>(after));
    s.BindInt(2, static_cast<std::int64_t>(max));
    long visited = 0;
    EStep step;
    std::string problem;
    CExchange exchange;
    while ((step = s.Step()) == EStep::Row) {
        exchange = CExchange();
        if (!SessionRows::ReadExchange(s, 0, exchange, problem)) {
            s.Reset();
            Damaged(problem);
            return -1;
        }
        visit(exchange);
        ++visited;
    }
    s.Reset();
    return step == EStep::Done || Damaged() ? visited : -1;
}

long CSessionIndex::VisitRecords(std::int64_t after, std::size_t max, EDepth depth, bool withFacts,
                                 const RecordVisitor& visit)
{
    CSqliteStatement& s = (withFacts ? m_RecordsWithFacts : m_Records)[DepthIndex(depth)];
    s.BindInt(1, after);
    s.BindInt(2, static_cast<std::int64_t>(max));
    constexpr int kFactsFrom = 19; // the row, then the record's 18 columns
    long visited = 0;
    EStep step;
    std::string problem;
    STraceRecordFields record;
    CExchange exchange; // the facts' source: one at a time
    SExchangeFacts facts;
    std::int64_t factsOf = 0; // the exchange the facts are of
    while ((step = s.Step()) == EStep::Row) {
        if (!SessionRows::ReadRecord(s, 1, record, problem)) {
            s.Reset();
            Damaged(problem);
            return -1;
        }
        record.serial = static_cast<std::uint64_t>(std::max<std::int64_t>(s.Int(0), 0));
        const std::int64_t of = withFacts ? s.Int(kFactsFrom) : 0;
        const bool known = of > 0;
        if (known && of != factsOf) { // an exchange's records come together: made once
            factsOf = of;
            exchange.m_strMethod = s.Bytes(kFactsFrom + 1);
            exchange.m_strHost = s.Bytes(kFactsFrom + 2);
            exchange.m_nPort = static_cast<std::uint16_t>(s.Int(kFactsFrom + 3));
            exchange.m_bHttps = s.Int(kFactsFrom + 4) != 0;
            exchange.m_nStatus = static_cast<int>(s.Int(kFactsFrom + 5));
            facts = SExchangeFacts::Of(exchange);
        }
        visit(s.Int(0), record, known ? &facts : nullptr);
        ++visited;
    }
    s.Reset();
    return step == EStep::Done || Damaged() ? visited : -1;
}

bool CSessionIndex::SortedRecordRows(ERecordKey key, bool descending, const std::atomic<bool>& stop,
                                     std::vector<std::int64_t>& rows)
{
    m_strError.clear();
    if (sqlite3_create_function_v2(m_Db.Handle(), "summary", 3,
                                   SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY, nullptr,
                                   &SummaryFunction, nullptr, nullptr, nullptr)
        != SQLITE_OK)
        return Damaged();
    CSqliteStatement s;
    if (!s.Prepare(m_Db.Handle(),
                   ("SELECT rowid FROM records ORDER BY " + RecordOrder(key, descending)).c_str()))
        return Damaged();
    return StepStoppable(s, stop, rows);
}

bool CSessionIndex::SortedExchangeIds(const SExchangeSortKey& key, bool descending,
                                      const std::atomic<bool>& stop, std::vector<std::int64_t>& ids)
{
    m_strError.clear();
    SExchangeKeyCall call{key, CExchange()};
    if (sqlite3_create_function_v2(m_Db.Handle(), "exchange_key", kExchangeKeyArguments,
                                   SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY, &call,
                                   &ExchangeKeyFunction, nullptr, nullptr, nullptr)
        != SQLITE_OK)
        return Damaged();
    bool done = false;
    {
        CSqliteStatement s;
        const std::string sql = std::string("SELECT id FROM exchanges ORDER BY exchange_key(")
                                + kExchangeKeyColumns + (descending ? ") DESC" : ")") + ", id";
        done = s.Prepare(m_Db.Handle(), sql.c_str()) ? StepStoppable(s, stop, ids) : Damaged();
    }
    // The function's data lives on this call's stack.
    sqlite3_create_function_v2(m_Db.Handle(), "exchange_key", kExchangeKeyArguments, SQLITE_UTF8,
                               nullptr, nullptr, nullptr, nullptr, nullptr);
    return done;
}

bool CSessionIndex::StepStoppable(CSqliteStatement& s, const std::atomic<bool>& stop,
                                  std::vector<std::int64_t>& rows)
{
    // SQLite asks every few thousand steps whether to go on.
    sqlite3_progress_handler(
        m_Db.Handle(), 4096,
        [](void* flag) { return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0; },
        const_cast<std::atomic<bool>*>(&stop));
    EStep step;
    while ((step = s.Step()) == EStep::Row)
        rows.push_back(s.Int(0));
    const bool done = step == EStep::Done || Damaged();
    s.Reset();
    sqlite3_progress_handler(m_Db.Handle(), 0, nullptr, nullptr);
    return done;
}

bool CSessionIndex::ReadDebugTail(std::size_t maxBytes, std::string& text, bool& cut)
{
    CSqliteStatement s;
    if (!s.Prepare(m_Db.Handle(), "SELECT text FROM debug_lines ORDER BY id DESC"))
        return Damaged();
    std::vector<std::string> lines; // the last first
    std::size_t bytes = 0;
    cut = false;
    EStep step;
    while ((step = s.Step()) == EStep::Row) {
        std::string line = s.Bytes(0);
        if (bytes + line.size() > maxBytes) {
            cut = true;
            break;
        }
        bytes += line.size();
        lines.push_back(std::move(line));
    }
    if (step == EStep::Failed)
        return Damaged();
    text.clear();
    text.reserve(bytes);
    for (auto line = lines.rbegin(); line != lines.rend(); ++line)
        text += *line;
    return true;
}

bool CSessionIndex::Damaged() { return Damaged(m_Db.Error()); }

bool CSessionIndex::Damaged(const std::string& what)
{
    m_strError = m_strPath + " is damaged or not a Kestrune session: " + what;
    return false;
}
