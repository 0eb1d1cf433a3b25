#include "TraceFixture.h"

#include <string>

using namespace tracetest;
using namespace std::string_literals;

namespace {
class RecordTextTest : public TraceTest {
protected:
    const CTraceRecord& Sent(const std::string& chunk)
    {
        CTraceConnection& entry = NewConnection();
        entry.AddChunk(kSent, kHeader, chunk);
        return Last(entry);
    }

    const CTraceRecord& FirstAnswer(const std::string& chunk)
    {
        CTraceConnection& entry = NewConnection();
        entry.AddChunk(kSent, kHeader, kRequest);
        entry.AddChunk(kReceived, kHeader, chunk);
        return Last(entry);
    }
};
} // namespace

TEST_F(RecordTextTest, BannerIdAndTimeTexts)
{
    NewConnection();
    CTraceConnection& entry = NewConnection();
    entry.AddChunk(kSent, kHeader, kRequest);
    g_clock = LocalTime(9, 5, 7);
    entry.AddChunk(kReceived, kHeader, ResponseHeader("text/html"));
    EXPECT_EQ(Record(entry, 0).GetTimeText(), "14:03:22");
    EXPECT_EQ(Record(entry, 1).GetTimeText(), "09:05:07");
    EXPECT_EQ(Record(entry, 1).GetIdText(), "2-2");
    EXPECT_EQ(Record(entry, 1).GetBanner(), "\r\n-------- 09:05:07 (2-2) --------\r\n");
    EXPECT_EQ(Record(entry, 1).GetTimeCaptured(), g_clock);
}

TEST_F(RecordTextTest, SummaryOfRequestsAndStatusLines)
{
    EXPECT_EQ(Sent(kRequest).GetSummary(), "GET /index.html HTTP/1.0");
    EXPECT_EQ(FirstAnswer(ResponseHeader("text/html") + "body").GetSummary(), kStatusLine);

    // A first line longer than 100 bytes is cut at 100.
    const std::string longLine = "HTTP/1.0 200 " + std::string(150, 'k');
    EXPECT_EQ(FirstAnswer(longLine + "\r\n\r\n").GetSummary(), longLine.substr(0, 100));

    // No carriage return at all, or one at the very start: the whole header, blanks for breaks.
    EXPECT_EQ(FirstAnswer("HTTP/1.0 200 OK\nA:\tb\n\n").GetSummary(), "HTTP/1.0 200 OK A: b  ");
    EXPECT_EQ(FirstAnswer("\r\nHTTP/1.0 200 OK\n\n").GetSummary(), "  HTTP/1.0 200 OK  ");
}

TEST_F(RecordTextTest, SummaryOfDisplayTexts)
{
    // A request without a header line break: the first 100 bytes, tabs as blanks.
    const std::string words = "POST\t/" + std::string(200, 'p');
    EXPECT_EQ(Sent(words).GetSummary(), "POST /" + std::string(94, 'p'));

    // Cut at the first carriage return from position 7 on.
    EXPECT_EQ(Sent("GET / HTTP/1.0\r\nHost: a\r\n\r\n").GetSummary(), "GET / HTTP/1.0");
    EXPECT_EQ(Sent("A\rB\rCDEFGHIJK\rLMN").GetSummary(), "A B CDEFGHIJK");
    // Ten bytes or fewer are kept whole.
    EXPECT_EQ(Sent("ab\r\ncd\r\nef").GetSummary(), "ab  cd  ef");

    // The binary note without its line end.
    CTraceConnection& binary = NewConnection();
    binary.AddChunk(kReceived, kHeader, ResponseHeader("image/gif"));
    binary.AddChunk(kReceived, kBody, std::string(1234, 'x'));
    EXPECT_EQ(Last(binary).GetSummary(), "1234 Bytes Binary Data");
}

TEST_F(RecordTextTest, SummaryNeverHoldsLineBreaksOrTabs)
{
    const std::string texts[] = {
        "\r\n\t\r\n\t\r\n\t", "GET\t/\tHTTP/1.0\r\n\r\n", std::string(300, '\n'),
        "abc\0\r\n\t"s};
    for (const std::string& text : texts) {
        for (const std::string& summary : {Sent(text).GetSummary(), FirstAnswer(text).GetSummary()}) {
            EXPECT_EQ(summary.find_first_of("\r\n\t"), std::string::npos) << summary;
            EXPECT_LE(summary.size(), 300u);
        }
    }
}
