// A capture recorded into a session file and read back, and the files the reader must refuse.
#include "session/PackedExchangesTable.h"
#include "session/PackedRecordsTable.h"
#include "session/SessionBacking.h"
#include "session/SessionIndex.h"
#include "session/SessionReader.h"
#include "session/SessionRecorder.h"
#include "session/SessionTestFiles.h"
#include "session/SessionWriter.h"
#include "session/SqliteDb.h"
#include "trace/Exchange.h"
#include "trace/ListingFilter.h"
#include "trace/TraceFixture.h"
#include "trace/MemoryBudget.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <random>
#include <thread>
#include <tuple>

namespace {

using tracetest::TraceTest;

// A store that records into a session as the relay fills it.
struct LiveCapture {
    CTraceStore store;
    CSessionRecorder recorder;

    bool Start(const std::string& path, std::string& error)
    {
        store.SetRecordObserver([this](const CTraceRecord& r) { recorder.AddRecord(r); });
        store.SetExchangeObserver([this](const CExchange& e) { recorder.AddExchange(e); });
        return recorder.Start(path, {{"version", "test"}, {"upstream", "up.test:3128"}}, nullptr,
                              error);
    }
};

std::string RandomBytes(std::size_t n)
{
    std::mt19937 random(7);
    std::string bytes(n, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

// Two connections (one TLS), chunks with a NUL and an answer that goes on after its request
// was recorded, two exchanges with every field set: one finished, one still open at the end.
void Capture(LiveCapture& live)
{
    tracetest::g_tickStep = 7; // every tick differs, so every elapsed time does too
    CTraceStore& store = live.store;
    CTraceConnection* plain = store.AddConnection(nullptr, false);
    plain->SetOrigin("https://origin.test");
    plain->AddChunk(ETraceDirection::Sent, ETracePart::Header,
                    "POST /form HTTP/1.1\r\nHost: origin.test\r\n\r\na=1", 1);
    plain->AddChunk(ETraceDirection::Received, ETracePart::Header,
                    "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<p>hi", 1);
    plain->AddChunk(ETraceDirection::Received, ETracePart::Body, std::string("bin\0ary", 7), 1);
    // The next request on the connection: the first one's time is final only now.
    plain->AddChunk(ETraceDirection::Sent, ETracePart::Header, "GET /next HTTP/1.1\r\n\r\n", 2);
    plain->AddChunk(ETraceDirection::Received, ETracePart::Header, "HTTP/1.1 304 Not Modified\r\n\r\n", 2);
    CTraceConnection* tls = store.AddConnection(nullptr, true);
    tls->AddChunk(ETraceDirection::Sent, ETracePart::Header, "\x16\x03\x01 hello");

    auto done = store.AddExchange();
    CExchange& e = *done;
    e.m_nBrowserConnection = 3;
    e.m_nServerConnection = plain->GetId();
    e.m_bHttps = true;
    e.m_strHost = "::1";
    e.m_nPort = 8443;
    e.m_nFlags = kExchangeDecrypted | kExchangeViaUpstream;
    e.m_strMethod = "POST";
    e.m_strTarget = "/form?q=\xff";
    e.m_strVersion = "HTTP/1.1";
    e.m_strRequestHead = "POST /form HTTP/1.1\r\nHost: origin.test\r\n\r\n";
    e.m_strForwardedHead = "POST /form HTTP/1.1\r\nHost: origin.test\r\nVia: k\r\n\r\n";
    e.m_RequestBody = {RandomBytes(5000), 9000}; // does not compress, and was cut
    e.m_nStatus = 200;
    e.m_strReason = "OK";
    e.m_strResponseHead = "HTTP/1.1 200 OK\r\n\r\n";
    e.m_ResponseBody = {std::string(200000, 'x') + std::string(1, '\0'), 200001}; // compresses
    e.m_nUnexpectedBytes = 12;
    e.m_Times = {1, 2, 3, 4, 5, 6, 7};
    e.m_nEnd = EExchangeEnd::Truncated;
    e.m_strEndReason = "origin closed";
    store.FinishExchange(e);

    auto open = store.AddExchange();
    open->m_strMethod = "GET";
    open->m_nReplayOf = done->m_nId;
    open->m_nFlags = kExchangeReplay;
    live.recorder.AddExchange(*open); // as the end of a run keeps those still open
    live.recorder.AddDebugLine("CONNECT origin.test:443\r\n");
}

class SessionFileTest : public TraceTest {
public: // the spoilers of the table below reach in
    TempFolder m_Folder;
    std::string m_strPath = m_Folder.File("run.kestrune");

    // A finished session file of the capture above.
    void RecordCapture()
    {
        LiveCapture live;
        std::string error;
        ASSERT_TRUE(live.Start(m_strPath, error)) << error;
        Capture(live);
        live.recorder.Stop();
    }

    // The error of reading the file, empty when it was read.
    std::string ReadError()
    {
        CTraceStore store;
        SSessionInfo info;
        std::string error;
        return CSessionReader().Read(m_strPath, store, info, error) ? "" : error;
    }

    // The error the paged view of the file meets, opening it or reading every row whole.
    std::string IndexError()
    {
        CSessionIndex index;
        std::string error;
        if (!index.Open(m_strPath, error))
            return error;
        const auto whole = CSessionIndex::EDepth::Whole;
        if (index.VisitExchanges(0, 1000, whole, [](const CExchange&) {}) < 0
            || index.VisitRecords(0, 1000, whole, true, [](auto, const auto&, auto) {}) < 0)
            return index.Error();
        SSessionInfo info;
        return index.ReadInfo(info) ? "" : index.Error();
    }

    void Sql(const char* sql)
    {
        CSqliteDb db;
        ASSERT_TRUE(db.Open(m_strPath, true) && db.Exec(sql)) << db.Error();
    }
};

TEST_F(SessionFileTest, ReopensTheCaptureAsItWas)
{
    LiveCapture live;
    std::string error;
    ASSERT_TRUE(live.Start(m_strPath, error)) << error;
    Capture(live);
    live.recorder.Stop();
    struct stat info {};
    ASSERT_EQ(::stat(m_strPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    CTraceStore back;
    SSessionInfo run;
    ASSERT_TRUE(CSessionReader().Read(m_strPath, back, run, error)) << error;

    const auto& was = live.store.GetConnections();
    const auto& is = back.GetConnections();
    ASSERT_EQ(is.size(), was.size());
    for (std::size_t c = 0; c < was.size(); ++c) {
        EXPECT_EQ(is[c]->GetId(), was[c]->GetId());
        EXPECT_EQ(is[c]->IsSSL(), was[c]->IsSSL());
        EXPECT_FALSE(is[c]->IsOpen());
        ASSERT_EQ(is[c]->GetRecords().size(), was[c]->GetRecords().size());
        for (std::size_t r = 0; r < was[c]->GetRecords().size(); ++r) {
            const CTraceRecord& a = *was[c]->GetRecords()[r];
            const CTraceRecord& b = *is[c]->GetRecords()[r];
            EXPECT_TRUE(b.GetFields() == a.GetFields()) << "entry " << c << " record " << r;
            EXPECT_EQ(b.GetSummary(), a.GetSummary());
            EXPECT_EQ(b.GetDisplayText(), a.GetDisplayText());
        }
    }
    ASSERT_EQ(back.GetExchanges().size(), 2u);
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_TRUE(*back.GetExchanges()[i] == *live.store.GetExchanges()[i]) << "exchange " << i;
    EXPECT_EQ(back.AddExchange()->m_nId, 3u); // numbering goes on after the reopened ones
    EXPECT_EQ(run.RunValue("upstream"), "up.test:3128");
    ASSERT_EQ(run.debugLines.size(), 1u);
    EXPECT_EQ(run.debugLines[0].text, "CONNECT origin.test:443\r\n");
}

// Bodies of megabytes go into their rows in place: either body or both, at the size where that
// starts, beside bodies that shrink and small rows after them.
TEST_F(SessionFileTest, LargeBodiesReadBackByteForByte)
{
    const std::size_t mib = 1 << 20;
    const std::vector<std::pair<std::string, std::string>> bodies = {
        {"", RandomBytes(3 * mib)},
        {RandomBytes(2 * mib), "small"},
        {RandomBytes(mib), RandomBytes(mib - 1)},
        {RandomBytes(mib - 1), ""},
        {std::string(4 * mib, 'z'), RandomBytes(2 * mib)},
        {"a=1", "ok"},
    };
    LiveCapture live;
    std::string error;
    ASSERT_TRUE(live.Start(m_strPath, error)) << error;
    SSessionInfo run;
    // Twice, the second time once the first is in the file: then copied over written exchanges
    // (their fields in other shapes), with nothing of those left.
    for (int round = 0; round < 2; ++round) {
        for (const auto& [request, response] : bodies) {
            auto e = live.store.AddExchange();
            e->m_strRequestHead = round ? "" : "GET / HTTP/1.1\r\nCookie: " + std::string(3000, 'c');
            e->m_strEndReason = round ? "reset" : "";
            e->m_RequestBody = {request, request.size()};
            e->m_ResponseBody = {response, response.size() + 1};
            live.store.FinishExchange(*e);
        }
        for (int i = 0; round == 0 && i < 500; ++i) {
            CTraceStore written;
            if (CSessionReader().Read(m_strPath, written, run, error)
                && written.GetExchanges().size() == bodies.size())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    live.recorder.Stop();
    CTraceStore back;
    ASSERT_TRUE(CSessionReader().Read(m_strPath, back, run, error)) << error;
    ASSERT_EQ(back.GetExchanges().size(), 2 * bodies.size());
    for (std::size_t i = 0; i < 2 * bodies.size(); ++i)
        EXPECT_TRUE(*back.GetExchanges()[i] == *live.store.GetExchanges()[i]) << "exchange " << i;
}

// A request's time grows with its answer, across batches and past the connection's next request.
TEST_F(SessionFileTest, RequestTimesFollowTheirAnswersAcrossBatches)
{
    std::vector<SSessionBatch> batches(4);
    // Records 1 to 5 of one connection (sequence and serial alike): batch, sent or not.
    for (const auto& [batch, sequence, sent] : {std::tuple{0, 1, true}, {1, 2, false}, {2, 3, true},
                                                {2, 4, false}, {3, 5, false}}) {
        STraceRecordFields& r = batches[batch].records.emplace_back();
        r.connectionId = 1;
        r.sequence = sequence;
        r.direction = sent ? ETraceDirection::Sent : ETraceDirection::Received;
        r.serial = static_cast<std::uint64_t>(sequence);
    }
    batches[1].elapsed = {{1, 1, 5, 0}};
    batches[2].elapsed = {{1, 3, 4, 1}};
    batches[3].elapsed = {{1, 3, 8, 0}};
    std::string error;
    {
        CSessionWriter writer;
        ASSERT_TRUE(writer.Create(m_strPath, error)) << error;
        for (const SSessionBatch& batch : batches)
            ASSERT_TRUE(writer.Write(batch, error)) << error;
    }
    CTraceStore back;
    SSessionInfo run;
    ASSERT_TRUE(CSessionReader().Read(m_strPath, back, run, error)) << error;
    ASSERT_EQ(back.GetConnections().size(), 1u);
    const auto& records = back.GetConnections()[0]->GetRecords();
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(std::pair(records[0]->GetElapsed(), records[2]->GetElapsed()), std::pair(5, 8));
}

// The recorder packs records as they come; an answer that goes on after its request was
// written still gives the request its time.
TEST_F(SessionFileTest, RequestTimesFollowAnswersPastTheRecordersWrites)
{
    tracetest::g_tickStep = 5;
    LiveCapture live;
    std::string error;
    ASSERT_TRUE(live.Start(m_strPath, error)) << error;
    CTraceConnection* entry = live.store.AddConnection(nullptr, false);
    entry->AddChunk(ETraceDirection::Sent, ETracePart::Header, "GET / HTTP/1.1\r\n\r\n", 1);
    std::uint64_t written = 0; // until the writer committed the request (every 200 ms)
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (written == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        CSessionIndex index;
        if (index.Open(m_strPath, error) && !index.CountRecords(written))
            written = 0;
    }
    ASSERT_EQ(written, 1u);
    for (int i = 0; i < 2; ++i) // two later times of the same row, in one write
        entry->AddChunk(ETraceDirection::Received, i ? ETracePart::Body : ETracePart::Header,
                        i ? "cd" : "HTTP/1.1 200 OK\r\n\r\nab", 1);
    live.recorder.Stop();
    CTraceStore back;
    SSessionInfo run;
    ASSERT_TRUE(CSessionReader().Read(m_strPath, back, run, error)) << error;
    ASSERT_EQ(back.GetConnections().size(), 1u);
    const auto& records = back.GetConnections()[0]->GetRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0]->GetElapsed(), entry->GetRecords()[0]->GetElapsed());
    EXPECT_GT(records[0]->GetElapsed(), 0);
}

TEST_F(SessionFileTest, OneWriterPerFileAndNeverOverAnother)
{
    LiveCapture first;
    std::string error;
    ASSERT_TRUE(first.Start(m_strPath, error)) << error;
    CSessionRecorder second;
    EXPECT_FALSE(second.Start(m_strPath, {}, nullptr, error));
    EXPECT_NE(error.find("being recorded by another Kestrune"), std::string::npos) << error;
    first.recorder.Stop();
    EXPECT_FALSE(second.Start(m_strPath, {}, nullptr, error));
    EXPECT_NE(error.find("exists already"), std::string::npos) << error;
    EXPECT_EQ(ReadError(), ""); // the refused writers left it as it was
}

TEST_F(SessionFileTest, RefusesFilesItCannotTrust)
{
    struct Case {
        const char* name;
        std::function<void(SessionFileTest&)> spoil;
        const char* said;
    };
    const auto cut = [](SessionFileTest& t, std::size_t keep) {
        WriteBytes(t.m_strPath, ReadBytes(t.m_strPath).substr(0, keep));
    };
    const std::vector<Case> cases = {
        {"missing", [](SessionFileTest& t) { std::remove(t.m_strPath.c_str()); }, "cannot open"},
        {"empty", [](SessionFileTest& t) { WriteBytes(t.m_strPath, ""); }, "is empty"},
        {"text", [](SessionFileTest& t) { WriteBytes(t.m_strPath, "GET / HTTP/1.1\r\n"); },
         "not a SQLite file"},
        {"header cut", [&](SessionFileTest& t) { cut(t, 60); }, "truncated"},
        {"pages cut", [&](SessionFileTest& t) { cut(t, 8192); }, "truncated"},
        {"odd size", [&](SessionFileTest& t) { cut(t, 10000); }, "truncated"},
        {"another program's",
         [](SessionFileTest& t) {
             std::remove(t.m_strPath.c_str());
             sqlite3* db = nullptr;
             sqlite3_open(t.m_strPath.c_str(), &db);
             sqlite3_exec(db, "CREATE TABLE notes(x)", nullptr, nullptr, nullptr);
             sqlite3_close(db);
         },
         "another program"},
        {"newer", [](SessionFileTest& t) { t.Sql("PRAGMA user_version=4"); }, "newer Kestrune"},
        {"no tables", [](SessionFileTest& t) { t.Sql("DROP TABLE record_packs"); }, "no such table"},
        {"other columns",
         [](SessionFileTest& t) { t.Sql("ALTER TABLE exchange_rows DROP COLUMN response_body"); },
         "no such column"},
        // A pack whose first record has a flag no record has, one cut short, one naming rows
        // it does not hold, and a count no pack of its size can hold.
        {"bad flags",
         [](SessionFileTest& t) {
             t.Sql("UPDATE record_packs SET packed = "
                   "CAST(substr(packed, 1, 3) || x'40' || substr(packed, 5) AS BLOB)");
         },
         "out of range"},
        {"cut pack",
         [](SessionFileTest& t) {
             t.Sql("UPDATE record_packs SET packed = substr(packed, 1, length(packed) - 1)");
         },
         "cut short"},
        {"other rows", [](SessionFileTest& t) { t.Sql("UPDATE record_packs SET first_row = 0"); },
         "impossible rows"},
        {"huge count",
         [](SessionFileTest& t) { t.Sql("UPDATE record_packs SET count = 1 << 40"); },
         "impossible rows"},
        {"bad body",
         [](SessionFileTest& t) { t.Sql("UPDATE exchange_rows SET response_body=x'00'"); },
         "does not unpack"},
        // An exchange's fields cut short, or with a byte more than they hold.
        {"cut exchange",
         [](SessionFileTest& t) {
             t.Sql("UPDATE exchange_rows SET packed = substr(packed, 1, length(packed) - 1)");
         },
         "packed fields are damaged"},
        {"long exchange",
         [](SessionFileTest& t) { t.Sql("UPDATE exchange_rows SET packed = packed || x'00'"); },
         "packed fields are damaged"},
        {"overwritten pages",
         [](SessionFileTest& t) {
             std::string bytes = ReadBytes(t.m_strPath);
             for (std::size_t i = 4096; i < bytes.size(); i += 7)
                 bytes[i] = '\xa5';
             WriteBytes(t.m_strPath, bytes);
         },
         "damaged"},
    };
    for (const Case& c : cases) {
        std::remove(m_strPath.c_str());
        RecordCapture();
        c.spoil(*this);
        const std::string error = ReadError();
        EXPECT_NE(error.find(c.said), std::string::npos) << c.name << ": " << error;
        const std::string paged = IndexError();
        EXPECT_NE(paged.find(c.said), std::string::npos) << c.name << " (paged): " << paged;
    }
}

// Files of the older layouts read as the same capture: exchanges a row of columns each
// (version 2), and records a row each too (version 1).
TEST_F(SessionFileTest, ReadsFilesOfOlderLayouts)
{
    RecordCapture();
    struct SRead {
        std::vector<STraceRecordFields> records;
        std::vector<CExchange> exchanges;
    };
    const auto readAll = [this](SRead& read) {
        CTraceStore store;
        SSessionInfo info;
        std::string error;
        ASSERT_TRUE(CSessionReader().Read(m_strPath, store, info, error)) << error;
        for (const auto& entry : store.GetConnections())
            for (const auto& record : entry->GetRecords())
                read.records.push_back(record->GetFields());
        for (const auto& exchange : store.GetExchanges())
            read.exchanges.push_back(*exchange);
    };
    const auto rewrite = [this](const char* sql) {
        CSqliteDb db;
        ASSERT_TRUE(db.Open(m_strPath, true) && PackedRecordsTable::Attach(db.Handle())
                    && PackedExchangesTable::Attach(db.Handle()) && db.Exec(sql))
            << db.Error();
    };
    SRead packed, columns, rows;
    readAll(packed);
    rewrite(R"sql(
        CREATE TABLE old_exchanges(id INTEGER PRIMARY KEY, browser_connection INTEGER NOT NULL,
          server_connection INTEGER NOT NULL, https INTEGER NOT NULL, host TEXT NOT NULL,
          port INTEGER NOT NULL, flags INTEGER NOT NULL, replay_of INTEGER NOT NULL,
          method TEXT NOT NULL, target BLOB NOT NULL, version TEXT NOT NULL,
          request_head BLOB NOT NULL, forwarded_head BLOB NOT NULL, request_body BLOB NOT NULL,
          request_body_kept INTEGER NOT NULL, request_body_total INTEGER NOT NULL,
          request_body_zstd INTEGER NOT NULL, status INTEGER NOT NULL, reason TEXT NOT NULL,
          response_head BLOB NOT NULL, response_body BLOB NOT NULL,
          response_body_kept INTEGER NOT NULL, response_body_total INTEGER NOT NULL,
          response_body_zstd INTEGER NOT NULL, unexpected_bytes INTEGER NOT NULL,
          started INTEGER NOT NULL, resolved INTEGER NOT NULL, connected INTEGER NOT NULL,
          tls_done INTEGER NOT NULL, request_sent INTEGER NOT NULL, first_byte INTEGER NOT NULL,
          ended INTEGER NOT NULL, end_state INTEGER NOT NULL, end_reason TEXT NOT NULL);
        INSERT INTO old_exchanges SELECT * FROM exchanges;
        DROP TABLE exchange_rows; PRAGMA user_version=2;)sql");
    Sql("ALTER TABLE old_exchanges RENAME TO exchanges");
    readAll(columns);
    EXPECT_EQ(IndexError(), "");
    rewrite(R"sql(
        CREATE TABLE old_records(connection INTEGER NOT NULL, sequence INTEGER NOT NULL,
          direction INTEGER NOT NULL, part INTEGER NOT NULL, bytes INTEGER NOT NULL,
          start_tick INTEGER NOT NULL, end_tick INTEGER NOT NULL, elapsed INTEGER NOT NULL,
          header BLOB NOT NULL, text BLOB NOT NULL, content_type TEXT NOT NULL,
          charset TEXT NOT NULL, origin TEXT NOT NULL, binary INTEGER NOT NULL,
          ssl INTEGER NOT NULL, header_incomplete INTEGER NOT NULL,
          captured INTEGER NOT NULL, exchange INTEGER NOT NULL);
        INSERT INTO old_records(rowid, connection, sequence, direction, part, bytes,
          start_tick, end_tick, elapsed, header, text, content_type, charset, origin, binary,
          ssl, header_incomplete, captured, exchange)
          SELECT rowid, * FROM records;
        DROP TABLE record_packs; DROP TABLE record_elapsed; PRAGMA user_version=1;)sql");
    Sql("ALTER TABLE old_records RENAME TO records");
    readAll(rows);
    EXPECT_EQ(IndexError(), "");
    EXPECT_EQ(packed.records.size(), 6u);
    EXPECT_EQ(packed.exchanges.size(), 2u);
    for (const SRead* older : {&columns, &rows}) {
        EXPECT_EQ(older->records, packed.records);
        EXPECT_TRUE(older->exchanges == packed.exchanges);
    }
}

// The paged view hands out what the reader would have put in a store, a page at a time; a
// column added by a later layout is no reason to refuse the file.
TEST_F(SessionFileTest, PagedViewReadsTheCaptureAsItWas)
{
    LiveCapture live;
    std::string error;
    ASSERT_TRUE(live.Start(m_strPath, error)) << error;
    Capture(live);
    live.recorder.Stop();
    Sql("ALTER TABLE exchange_rows ADD COLUMN later TEXT; ALTER TABLE record_packs ADD COLUMN later TEXT");
    EXPECT_EQ(ReadError(), "");
    CSessionIndex index;
    ASSERT_TRUE(index.Open(m_strPath, error)) << error;

    std::vector<std::uint64_t> ids;
    ASSERT_TRUE(index.ExchangeIds(0, 10, ids));
    ASSERT_EQ(ids, (std::vector<std::uint64_t>{1, 2}));
    for (std::uint64_t after : {0, 1}) { // one exchange a page, light, then whole by number
        const CExchange& was = *live.store.GetExchanges()[after];
        CExchange whole, light;
        EXPECT_EQ(index.VisitExchanges(after, 1, CSessionIndex::EDepth::Light,
                                       [&light](const CExchange& e) { light = e; }),
                  1);
        ASSERT_TRUE(index.ReadExchange(after + 1, CSessionIndex::EDepth::Whole, whole));
        EXPECT_TRUE(whole == was) << "exchange " << after + 1;
        EXPECT_EQ(light.m_nId, was.m_nId);
        EXPECT_EQ(light.m_strResponseHead, was.m_strResponseHead);
        EXPECT_EQ(light.m_ResponseBody.total, was.m_ResponseBody.total);
        EXPECT_TRUE(light.m_strRequestHead.empty() && light.m_ResponseBody.bytes.empty());
    }
    CExchange none;
    EXPECT_FALSE(index.ReadExchange(3, CSessionIndex::EDepth::Whole, none));
    EXPECT_EQ(index.Error(), "");
    EXPECT_EQ(index.VisitExchanges(2, 10, CSessionIndex::EDepth::Light, [](const CExchange&) {}),
              0);

    std::vector<STraceRecordFields> records; // every record, whole, with its exchange's facts
    std::vector<std::string> hosts;
    EXPECT_EQ(index.VisitRecords(
                  0, 100, CSessionIndex::EDepth::Whole, true,
                  [&](std::int64_t, const STraceRecordFields& r, const SExchangeFacts* facts) {
                      records.push_back(r);
                      hosts.push_back(facts ? facts->host : "-");
                  }),
              6);
    std::size_t at = 0;
    for (const auto& entry : live.store.GetConnections())
        for (const auto& record : entry->GetRecords()) {
            ASSERT_LT(at, records.size());
            EXPECT_TRUE(records[at] == record->GetFields()) << "record " << at;
            const CExchange* of = live.store.FindExchange(record->GetExchangeId());
            EXPECT_EQ(hosts[at++], of ? SExchangeFacts::Of(*of).host : "-");
        }
    std::vector<std::int64_t> rows;
    std::vector<int> connections;
    ASSERT_TRUE(index.RecordRows(2, 100, rows, connections));
    EXPECT_EQ(rows, (std::vector<std::int64_t>{3, 4, 5, 6}));
    STraceRecordFields light;
    ASSERT_TRUE(index.ReadRecord(rows[0], CSessionIndex::EDepth::Light, light));
    EXPECT_EQ(CTraceRecord(light).GetSummary(), CTraceRecord(records[2]).GetSummary());
}

} // namespace

TEST_F(SessionFileTest, TextsAndBodiesThatLeaveMemoryReadBackFromTheRecording)
{
    LiveCapture live;
    std::string error;
    ASSERT_TRUE(live.Start(m_strPath, error)) << error;
    live.store.SetBacking(std::make_shared<CSessionBacking>(m_strPath));
    std::vector<std::string> texts;
    std::vector<std::shared_ptr<CExchange>> exchanges;
    for (int n = 0; n < 30; ++n) {
        auto e = live.store.AddExchange();
        e->m_RequestBody = {RandomBytes(2000 + n), 2000u + n};
        e->m_ResponseBody = {std::string(4000, static_cast<char>('a' + n)), 9000};
        CTraceConnection* entry = live.store.AddConnection(nullptr, false);
        entry->AddChunk(ETraceDirection::Sent, ETracePart::Header,
                        "POST /" + std::to_string(n) + " HTTP/1.1\r\n\r\n" + e->m_RequestBody.bytes, e->m_nId);
        entry->AddChunk(ETraceDirection::Received, ETracePart::Header,
                        "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=latin1\r\n\r\n\xe9"
                            + e->m_ResponseBody.bytes, e->m_nId);
        for (const auto& record : entry->GetRecords())
            texts.push_back(record->GetDisplayText());
        e->m_nEnd = EExchangeEnd::Complete;
        live.store.FinishExchange(*e);
        exchanges.push_back(e);
    }
    live.recorder.Stop(); // everything committed

    live.store.SetMemoryBudget(96 << 10);
    EXPECT_LE(live.store.Memory()->Held(), 96u << 10);
    std::size_t dropped = 0, i = 0;
    for (const auto& entry : live.store.GetConnections()) {
        for (const auto& record : entry->GetRecords()) {
            SCOPED_TRACE(i);
            dropped += record->TextsDropped();
            EXPECT_EQ(record->TextsReadable(), record->TextsDropped());
            EXPECT_EQ(live.store.DisplayText(*record), texts[i++]); // byte for byte, as shown
        }
    }
    EXPECT_GT(dropped, 20u);
    ASSERT_TRUE(exchanges.front()->m_bBodiesDropped);
    EXPECT_FALSE(exchanges.back()->m_bBodiesDropped);
    const auto back = live.store.BodiesReadBack(*exchanges.front());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->m_RequestBody, (SExchangeBody{RandomBytes(2000), 2000}));
    EXPECT_EQ(back->m_ResponseBody, (SExchangeBody{std::string(4000, 'a'), 9000}));
}
