#include "TraceFixture.h"

#include <string>

using namespace tracetest;

namespace {

// A store that keeps only what later chunks look back at (the headless mode without a log).
class SettledRecordsTest : public TraceTest {
protected:
    SettledRecordsTest() { m_store.SetKeepSettledRecords(false); }
};

} // namespace

TEST_F(SettledRecordsTest, NumberingAndTimingGoOnAsIfEveryRecordWereKept)
{
    CTraceConnection& entry = NewConnection();
    AddAt(entry, 1000, kSent, kHeader, kRequest);
    AddAt(entry, 1100, kReceived, kHeader, ResponseHeader("text/html") + "<html>");
    AddAt(entry, 1250, kReceived, kBody, "second");
    AddAt(entry, 1400, kReceived, kBody, "third");

    // The request (still being timed) and the latest chunk are all that is held.
    ASSERT_EQ(entry.GetRecords().size(), 2u);
    EXPECT_EQ(entry.GetLastRequest(), 0);
    EXPECT_EQ(Record(entry, 0).GetSequence(), 1);
    EXPECT_EQ(Record(entry, 0).GetElapsed(), 1400 - 1000);
    EXPECT_EQ(Last(entry).GetSequence(), 4);
    EXPECT_EQ(Last(entry).GetElapsed(), 1400 - 1250);

    // A second request takes over; the first one goes.
    AddAt(entry, 2000, kSent, kHeader, kRequest);
    ASSERT_EQ(entry.GetRecords().size(), 1u);
    EXPECT_EQ(Last(entry).GetSequence(), 5);
    EXPECT_EQ(Last(entry).GetElapsed(), 2000 - 1400);
    AddAt(entry, 2300, kReceived, kBody, ResponseHeader("text/plain"));
    ASSERT_EQ(entry.GetRecords().size(), 2u);
    EXPECT_EQ(Last(entry).GetSequence(), 6);
    EXPECT_EQ(Last(entry).GetPart(), kHeader) << "the first answer to a request is a header part";
    EXPECT_EQ(Record(entry, 0).GetElapsed(), 2300 - 2000);
}

TEST_F(SettledRecordsTest, LaterChunksStillSeeTheLatestRecord)
{
    CTraceConnection& entry = NewConnection();
    AddAt(entry, 1000, kSent, kHeader, kRequest);
    // A header split over two reads: the second chunk goes on collecting it.
    AddAt(entry, 1010, kReceived, kHeader, kStatusLine + "\r\nContent-Type: image/gif\r\n");
    AddAt(entry, 1020, kReceived, kBody, "X-More: 1\r\n\r\nGIF89a");
    EXPECT_EQ(Last(entry).GetPart(), kHeader);
    EXPECT_FALSE(Last(entry).IsHeaderIncomplete());
    // A binary response stays binary after the records before it are gone.
    AddAt(entry, 1030, kReceived, kBody, std::string("\0\1\2", 3));
    AddAt(entry, 1040, kReceived, kBody, "looks like text");
    ASSERT_EQ(entry.GetRecords().size(), 2u);
    EXPECT_EQ(Last(entry).GetText(), "15 Bytes Binary Data\r\n");
    EXPECT_EQ(Last(entry).GetSequence(), 5);
}

TEST_F(SettledRecordsTest, ClosedEntriesGoAtOnceOnlyWhenRecordsAreNotKept)
{
    CTraceConnection* first = m_store.AddConnection(nullptr, false);
    CTraceConnection* second = m_store.AddConnection(nullptr, false);
    first->AddChunk(kSent, kHeader, kRequest);

    m_store.DropClosedEntry(second); // still open: stays
    ASSERT_EQ(m_store.GetConnections().size(), 2u);

    first->DetachConnection();
    m_store.DropClosedEntry(first);
    ASSERT_EQ(m_store.GetConnections().size(), 1u);
    EXPECT_EQ(m_store.GetConnections().front().get(), second);

    // With every record kept, a closed entry waits for the purge as before.
    m_store.SetKeepSettledRecords(true);
    second->AddChunk(kSent, kHeader, kRequest);
    second->AddChunk(kReceived, kHeader, ResponseHeader("text/html"));
    second->AddChunk(kReceived, kBody, "body");
    EXPECT_EQ(second->GetRecords().size(), 3u);
    second->DetachConnection();
    m_store.DropClosedEntry(second);
    EXPECT_EQ(m_store.GetConnections().size(), 1u);
}
