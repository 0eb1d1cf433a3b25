#include "TraceFixture.h"

#include <climits>
#include <string>

using namespace tracetest;

namespace {
using ConnectionTest = TraceTest;
}

TEST_F(ConnectionTest, RequestTimesItsWholeResponseAndEachChunkTheOneBefore)
{
    g_tickStep = 5; // a record reads the tick twice: at its start, and once its texts are made
    CTraceConnection& entry = NewConnection();
    AddAt(entry, 1000, kSent, kHeader, kRequest);
    EXPECT_EQ(Record(entry, 0).GetSequence(), 1);
    EXPECT_EQ(Record(entry, 0).GetElapsed(), 0);
    EXPECT_EQ(entry.GetLastRequest(), 0);

    AddAt(entry, 1100, kReceived, kHeader, ResponseHeader("text/html") + "<html>");
    AddAt(entry, 1250, kReceived, kBody, "second");
    AddAt(entry, 1400, kReceived, kBody, "third");
    ASSERT_EQ(entry.GetRecords().size(), 4u);

    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(Record(entry, i).GetSequence(), static_cast<int>(i + 1));
        EXPECT_EQ(Record(entry, i).GetConnectionId(), entry.GetId());
        EXPECT_EQ(Record(entry, i).GetEndTick() - Record(entry, i).GetStartTick(), 5u);
    }
    EXPECT_EQ(Record(entry, 1).GetElapsed(), 1105 - 1000);
    EXPECT_EQ(Record(entry, 2).GetElapsed(), 1255 - 1100);
    EXPECT_EQ(Record(entry, 3).GetElapsed(), 1405 - 1250);
    EXPECT_EQ(Record(entry, 0).GetElapsed(), 1405 - 1000);
    EXPECT_EQ(Record(entry, 0).GetResponseTimeText(), "0.405");
}

TEST_F(ConnectionTest, SecondRequestOnOneConnectionTakesOverTheTiming)
{
    CTraceConnection& entry = NewConnection();
    AddAt(entry, 1000, kSent, kHeader, kRequest);
    AddAt(entry, 1200, kReceived, kHeader, ResponseHeader("text/html"));
    AddAt(entry, 5000, kSent, kHeader, kRequest);
    EXPECT_EQ(entry.GetLastRequest(), 2);
    EXPECT_EQ(Record(entry, 2).GetElapsed(), 5000 - 1200); // its own step from the record before
    AddAt(entry, 5300, kReceived, kBody, ResponseHeader("text/html"));
    AddAt(entry, 5900, kReceived, kBody, "body");

    EXPECT_EQ(Record(entry, 0).GetElapsed(), 200);
    EXPECT_EQ(Record(entry, 2).GetElapsed(), 900);
}

TEST_F(ConnectionTest, TickWrapAroundGivesTheModularDifference)
{
    CTraceConnection& entry = NewConnection();
    AddAt(entry, 0xFFFFFF00u, kSent, kHeader, kRequest);
    AddAt(entry, 0x100u, kReceived, kHeader, ResponseHeader("text/html"));
    EXPECT_EQ(Record(entry, 0).GetElapsed(), 0x200);
    EXPECT_EQ(Record(entry, 1).GetElapsed(), 0x200);
}

TEST_F(ConnectionTest, PartMarkerFollowsTheRecordBefore)
{
    // The first record keeps its marker: a body chunk is not searched for a header.
    CTraceConnection& first = NewConnection();
    first.AddChunk(kReceived, kBody, ResponseHeader("image/gif"));
    EXPECT_EQ(Record(first, 0).GetPart(), kBody);
    EXPECT_EQ(Record(first, 0).GetHeader(), "");
    EXPECT_FALSE(Record(first, 0).IsBinary());
    EXPECT_EQ(Record(first, 0).GetElapsed(), 0);

    // After a request, the answer always starts with its header.
    CTraceConnection& entry = NewConnection();
    entry.AddChunk(kSent, kHeader, kRequest);
    entry.AddChunk(kReceived, kBody, ResponseHeader("text/plain") + "hello");
    EXPECT_EQ(Record(entry, 1).GetPart(), kHeader);
    EXPECT_EQ(Record(entry, 1).GetContentType(), "text/plain");
    EXPECT_EQ(Record(entry, 1).GetText(), "hello");
    entry.AddChunk(kReceived, kBody, ResponseHeader("text/plain"));
    EXPECT_EQ(Record(entry, 2).GetPart(), kBody);
    EXPECT_EQ(Record(entry, 2).GetHeader(), "");

    // A sent chunk keeps what its caller passed.
    entry.AddChunk(kSent, kBody, "body");
    EXPECT_EQ(Record(entry, 3).GetPart(), kBody);
}

TEST_F(ConnectionTest, TunnelRecordsAreAlwaysEncryptedNotes)
{
    CTraceConnection& entry = NewConnection(true);
    entry.AddChunk(kSent, kHeader, std::string(517, 'A'));
    entry.AddChunk(kReceived, kHeader, ResponseHeader("text/html") + "x");
    entry.AddChunk(kReceived, kBody, std::string(0, 'x'));

    const CTraceRecord& sent = Record(entry, 0);
    EXPECT_TRUE(sent.IsBinary());
    EXPECT_TRUE(sent.IsSSL());
    EXPECT_EQ(sent.GetText(), "517 Bytes Encrypted SSL Data\r\n");
    const CTraceRecord& received = Record(entry, 1);
    EXPECT_TRUE(received.IsBinary());
    EXPECT_EQ(received.GetHeader(), "");
    EXPECT_EQ(received.GetContentType(), "");
    EXPECT_EQ(received.GetText(),
              std::to_string(ResponseHeader("text/html").size() + 1) + " Bytes Encrypted SSL Data\r\n");
    EXPECT_EQ(Record(entry, 2).GetText(), "");
}

TEST_F(ConnectionTest, EveryChunkCountsEvenWithTheViewersOff)
{
    m_app.m_bRequestViewer = 0;
    m_app.m_bResponseViewer = 0;
    CTraceConnection& entry = NewConnection();
    entry.AddChunk(kSent, kHeader, kRequest);
    entry.AddChunk(kReceived, kHeader, ResponseHeader("text/html") + "abc");
    EXPECT_EQ(entry.GetRecords().size(), 2u);
    EXPECT_EQ(m_app.m_nBytesSent, static_cast<std::int64_t>(kRequest.size()));
    EXPECT_EQ(m_app.m_nBytesReceived, static_cast<std::int64_t>(ResponseHeader("text/html").size() + 3));
    EXPECT_EQ(m_store.GetRequestCount() + m_store.GetResponseCount(), 0);
}

TEST_F(ConnectionTest, RecordsNobodyReadsKeepTheirPlaceAndAnObserverStillGetsTheTexts)
{
    m_app.m_bRequestViewer = false;
    m_app.m_bResponseViewer = false;
    m_store.SetKeepSettledRecords(false); // the headless run without outputs
    std::string seenType;
    for (const bool observed : {false, true}) {
        if (observed)
            m_store.SetRecordObserver([&seenType](const CTraceRecord& r) { seenType += r.GetContentType(); });
        CTraceConnection& entry = NewConnection();
        entry.AddChunk(kSent, kHeader, kRequest, 1);
        entry.AddChunk(kReceived, kHeader, ResponseHeader("text/html") + "abc", 1);
        const CTraceRecord& response = *entry.GetRecords().back();
        EXPECT_EQ(response.GetSequence(), 2);
        EXPECT_EQ(response.GetByteCount(), static_cast<int>(ResponseHeader("text/html").size() + 3));
        EXPECT_EQ(response.GetText(), observed ? "abc" : "") << observed;
    }
    EXPECT_EQ(seenType, "text/html");
}

TEST_F(ConnectionTest, ByteTotalsGoPastTwoGibibytes)
{
    m_app.m_nBytesReceived = INT32_MAX - 10;
    m_app.m_nBytesSent = INT32_MAX;
    CTraceConnection& entry = NewConnection();
    entry.AddChunk(kReceived, kBody, std::string(100, 'x'));
    entry.AddChunk(kSent, kHeader, std::string(8096, 'y'));
    EXPECT_EQ(m_app.m_nBytesReceived, std::int64_t{INT32_MAX} + 90);
    EXPECT_EQ(m_app.m_nBytesSent, std::int64_t{INT32_MAX} + 8096);
}

TEST_F(ConnectionTest, FeedsGetBannerAndFullTextOfEachRecord)
{
    CTraceConnection& entry = NewConnection();
    entry.AddChunk(kSent, kHeader, kRequest);
    const std::string response = ResponseHeader("text/html") + "<html>";
    entry.AddChunk(kReceived, kHeader, response);

    const std::string banner1 = "\r\n-------- 14:03:22 (1-1) --------\r\n";
    const std::string banner2 = "\r\n-------- 14:03:22 (1-2) --------\r\n";
    EXPECT_EQ(m_store.TakeRequestText(), banner1 + kRequest);
    EXPECT_EQ(m_store.TakeResponseText(), banner2 + response);
}
