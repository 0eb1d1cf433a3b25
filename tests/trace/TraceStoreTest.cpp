#include "TraceFixture.h"

#include "trace/TraceHostLink.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace tracetest;
using namespace std::string_literals;

namespace {
class FakeHost : public CTraceHostLink {
public:
    void ClearTraceEntry() override { ++cleared; }
    int cleared = 0;
};

using StoreTest = TraceTest;
} // namespace

TEST_F(StoreTest, FeedsQueueBannerThenTextAndTakeLeavesThem)
{
    m_store.AppendRequestText("GET / HTTP/1.0\r\n", "\r\n-- banner --\r\n");
    m_store.AppendRequestText("more"s + '\0' + "bytes", "");
    const std::string expected = "\r\n-- banner --\r\nGET / HTTP/1.0\r\nmore"s + '\0' + "bytes";
    EXPECT_EQ(m_store.TakeRequestText(), expected);
    EXPECT_EQ(m_store.TakeRequestText(), expected);
    EXPECT_EQ(m_store.GetRequestCount(), static_cast<std::int64_t>(expected.size()));

    m_store.ClearRequestText();
    EXPECT_EQ(m_store.TakeRequestText(), "");
    EXPECT_EQ(m_store.GetRequestCount(), 0);
}

TEST_F(StoreTest, FeedsAreGatedBySwitchesReadAtAppendTime)
{
    m_app.m_bRequestViewer = 0;
    m_app.m_bResponseViewer = 0;
    m_app.m_bDebugTrace = 0;
    m_store.AppendRequestText("request", "banner");
    m_store.AppendResponseText("response", "banner");
    m_store.AppendDebugText("debug\r\n");
    EXPECT_EQ(m_store.GetRequestCount() + m_store.GetResponseCount() + m_store.GetDebugCount(), 0);
    m_store.AppendDebugNotice("notice\r\n"); // a failure the user must hear of: never gated
    EXPECT_EQ(m_store.TakeDebugText(), "notice\r\n");
    m_store.ClearDebugText();

    m_app.m_bDebugTrace = 1;
    DebugTrace(&m_store, "CListen::CListen\r\n");
    m_app.m_bResponseViewer = 1;
    m_store.AppendResponseText("response", "");
    EXPECT_EQ(m_store.TakeDebugText(), "CListen::CListen\r\n");
    EXPECT_EQ(m_store.TakeResponseText(), "response");
    EXPECT_EQ(m_store.TakeRequestText(), "");
}

TEST_F(StoreTest, FeedDropsOldestWholeEntriesPastTheLimit)
{
    const std::string a(50000, 'a'), b(50000, 'b'), c(50000, 'c');
    m_store.AppendResponseText(a, "");
    m_store.AppendResponseText(b, "");
    m_store.AppendResponseText(c, "");
    EXPECT_EQ(m_store.GetResponseCount(), 100000);
    EXPECT_EQ(m_store.TakeResponseText(), b + c);

    // Exactly at the limit nothing goes.
    m_store.ClearResponseText();
    m_store.AppendResponseText(std::string(FEED_LIMIT - 2, 'x'), "bb");
    EXPECT_EQ(m_store.GetResponseCount(), FEED_LIMIT);
}

TEST_F(StoreTest, TextLongerThanTheLimitLeavesTheFeedEmpty)
{
    m_store.AppendDebugText("earlier line\r\n");
    m_app.m_bDebugTrace = 1;
    m_store.AppendDebugText("earlier line\r\n");
    m_store.AppendDebugText(std::string(FEED_LIMIT + 1, 'x'));
    EXPECT_EQ(m_store.GetDebugCount(), 0);
    EXPECT_EQ(m_store.TakeDebugText(), "");

    m_store.AppendRequestText(std::string(FEED_LIMIT + 1, 'x'), "\r\n-- banner --\r\n");
    EXPECT_EQ(m_store.GetRequestCount(), 0);
    EXPECT_EQ(m_store.TakeRequestText(), "");
}

TEST_F(StoreTest, EntryIdsStartAtOneAndKeepRisingAcrossPurges)
{
    CTraceConnection* first = m_store.AddConnection(nullptr, false);
    CTraceConnection* second = m_store.AddConnection(nullptr, true);
    EXPECT_EQ(first->GetId(), 1);
    EXPECT_EQ(second->GetId(), 2);
    EXPECT_TRUE(second->IsSSL());
    EXPECT_EQ(second->GetLastRequest(), -1);
    EXPECT_TRUE(second->IsOpen());
    EXPECT_EQ(m_app.m_nLastEntryId, 2);

    first->DetachConnection();
    second->DetachConnection();
    m_store.PurgeClosedConnections();
    EXPECT_TRUE(m_store.GetConnections().empty());
    EXPECT_EQ(m_store.AddConnection(nullptr, false)->GetId(), 3);
}

TEST_F(StoreTest, PurgeKeepsOpenEntriesWithTheirWrittenMarksAndEmptiesFeeds)
{
    m_app.m_bDebugTrace = 1;
    CTraceConnection& closed = NewConnection();
    CTraceConnection& open = NewConnection();
    CTraceConnection& closedToo = NewConnection();
    closed.AddChunk(kSent, kHeader, kRequest);
    open.AddChunk(kSent, kHeader, kRequest);
    closedToo.AddChunk(kSent, kHeader, kRequest);
    m_store.AppendDebugText("line\r\n");

    std::FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(m_store.WriteLog(log), 1);
    std::fclose(log);
    open.AddChunk(kReceived, kHeader, ResponseHeader("text/html"));

    closed.DetachConnection();
    closedToo.DetachConnection();
    EXPECT_FALSE(closed.IsOpen());
    EXPECT_EQ(closed.GetHost(), nullptr);
    m_store.PurgeClosedConnections();

    ASSERT_EQ(m_store.GetConnections().size(), 1u);
    const CTraceConnection& kept = *m_store.GetConnections()[0];
    EXPECT_EQ(&kept, &open);
    ASSERT_EQ(kept.GetRecords().size(), 2u);
    EXPECT_TRUE(Record(kept, 0).IsWritten());
    EXPECT_FALSE(Record(kept, 1).IsWritten());
    EXPECT_EQ(m_store.GetRequestCount() + m_store.GetResponseCount() + m_store.GetDebugCount(), 0);
    EXPECT_EQ(m_store.TakeRequestText() + m_store.TakeResponseText() + m_store.TakeDebugText(), "");
}

TEST(StoreLifetime, DestructionClearsTheBackPointerOfAttachedHostsOnly)
{
    FakeHost attached, detached;
    {
        CTraceStore store;
        EXPECT_EQ(store.AddConnection(&attached, false)->GetHost(), &attached);
        store.AddConnection(&detached, false)->DetachConnection();
        store.PurgeClosedConnections();
        EXPECT_EQ(detached.cleared, 0);
        EXPECT_EQ(attached.cleared, 0);
    }
    EXPECT_EQ(attached.cleared, 1);
    EXPECT_EQ(detached.cleared, 0);
}

TEST_F(StoreTest, ObserverSeesEachRecordOnceItIsComplete)
{
    std::vector<std::string> seen;
    m_store.SetRecordObserver([&](const CTraceRecord& record) {
        seen.push_back(record.GetIdText() + " " + record.GetSummary() + " " +
                       record.GetResponseTimeText());
    });
    CTraceConnection& entry = NewConnection();
    AddAt(entry, 1000, kSent, kHeader, kRequest);
    AddAt(entry, 1250, kReceived, kBody, ResponseHeader("text/html") + "body");
    m_store.SetRecordObserver(nullptr);
    AddAt(entry, 1300, kReceived, kBody, "more");

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "1-1 GET /index.html HTTP/1.0 0.000");
    EXPECT_EQ(seen[1], "1-2 HTTP/1.0 200 OK 0.250");
}
