#include "TraceFixture.h"

#include <string>

using namespace tracetest;
using namespace std::string_literals;

namespace {
// A connection whose next received chunk is a response's first chunk.
class ClassificationTest : public TraceTest {
protected:
    const CTraceRecord& Respond(const std::string& chunk)
    {
        if (!m_pEntry) {
            m_pEntry = &NewConnection();
            m_pEntry->AddChunk(kSent, kHeader, kRequest);
        }
        m_pEntry->AddChunk(kReceived, kBody, chunk);
        return Last(*m_pEntry);
    }

    CTraceConnection* m_pEntry = nullptr;
};
} // namespace

TEST_F(ClassificationTest, TextResponseKeepsHeaderAndBody)
{
    const std::string header = ResponseHeader("text/html");
    const CTraceRecord& record = Respond(header + "<html>");
    EXPECT_EQ(record.GetHeader(), header);
    EXPECT_EQ(record.GetContentType(), "text/html");
    EXPECT_FALSE(record.IsBinary());
    EXPECT_FALSE(record.IsHeaderIncomplete());
    EXPECT_EQ(record.GetText(), "<html>");
    EXPECT_EQ(record.GetFullText(), header + "<html>");
    EXPECT_EQ(record.GetSummary(), kStatusLine);
    EXPECT_EQ(record.GetByteCount(), static_cast<std::int32_t>(header.size() + 6));
}

TEST_F(ClassificationTest, ImageResponseShowsHeaderAndBinaryNote)
{
    const std::string header = ResponseHeader("image/gif");
    const CTraceRecord& record = Respond(header + std::string(100, 'G'));
    EXPECT_TRUE(record.IsBinary());
    EXPECT_EQ(record.GetContentType(), "image/gif");
    EXPECT_EQ(record.GetText(), "100 Bytes Binary Data\r\n");
    EXPECT_EQ(record.GetFullText(), header + "100 Bytes Binary Data\r\n");

    // Later chunks inherit the flag and show their full length, even text or a header.
    const CTraceRecord& next = Respond("plain words");
    EXPECT_TRUE(next.IsBinary());
    EXPECT_EQ(next.GetText(), "11 Bytes Binary Data\r\n");
    EXPECT_EQ(next.GetHeader(), "");
}

TEST_F(ClassificationTest, BinaryWordsAnywhereInTheValueInAnyCase)
{
    EXPECT_TRUE(Respond(ResponseHeader("application/octet-STREAM")).IsBinary());
    m_pEntry = nullptr;
    EXPECT_TRUE(Respond(ResponseHeader("application/x-binary; q=1")).IsBinary());
    m_pEntry = nullptr;
    EXPECT_FALSE(Respond(ResponseHeader("application/javascript")).IsBinary());
    m_pEntry = nullptr;
    EXPECT_TRUE(Respond(ResponseHeader("IMAGE/png")).IsBinary());
    m_pEntry = nullptr;
    EXPECT_FALSE(Respond(ResponseHeader("text/x-imag; bin=strea")).IsBinary()); // cut words
}

TEST_F(ClassificationTest, BinaryHeaderChunkWithNothingAfterItHasEmptyText)
{
    const CTraceRecord& record = Respond(ResponseHeader("image/png"));
    EXPECT_TRUE(record.IsBinary());
    EXPECT_EQ(record.GetText(), "");
    EXPECT_EQ(record.GetFullText(), ResponseHeader("image/png"));
}

TEST_F(ClassificationTest, LowerCaseNameWithoutBlankLosesTheValuesFirstCharacter)
{
    const CTraceRecord& record = Respond(kStatusLine + "\r\ncontent-type:text/plain\r\n\r\nok");
    EXPECT_EQ(record.GetContentType(), "ext/plain");
    EXPECT_EQ(record.GetText(), "ok");
}

TEST_F(ClassificationTest, OddContentTypeLinesAreHandledSafely)
{
    // Name at the very end of an unfinished header: the value would start past it.
    EXPECT_EQ(Respond("HTTP/1.0 200 OK\r\nContent-Type:x").GetContentType(), "");
    m_pEntry = nullptr;
    EXPECT_EQ(Respond("HTTP/1.0 200 OK\r\nContent-Type:\n\n").GetContentType(), "");
    // Empty value.
    m_pEntry = nullptr;
    EXPECT_EQ(Respond(kStatusLine + "\r\nContent-Type: \r\n\r\n").GetContentType(), "");
    // Hidden behind a NUL byte in the header: not found; the NUL makes the chunk binary.
    m_pEntry = nullptr;
    const std::string hidden = kStatusLine + "\r\nX: a\0b\r\nContent-Type: text/html\r\n\r\nbody"s;
    const CTraceRecord& record = Respond(hidden);
    EXPECT_EQ(record.GetContentType(), "");
    EXPECT_EQ(record.GetHeader(), hidden.substr(0, hidden.size() - 4));
    EXPECT_TRUE(record.IsBinary());
    EXPECT_EQ(record.GetText(), "\r\nBinary Data - not shown. " +
                                    std::to_string(hidden.size() - hidden.find('\0')) + " bytes.\r\n");
    // Bytes of other code pages are not letters: "\xC9MAGE" is not "IMAGE".
    m_pEntry = nullptr;
    EXPECT_FALSE(Respond(ResponseHeader("\xC9mage/x")).IsBinary());
    m_pEntry = nullptr;
    EXPECT_EQ(Respond(kStatusLine + "\r\nContent-Type: caf\xE9/x\r\n\r\n").GetContentType(),
              "caf\xE9/x");
}

TEST_F(ClassificationTest, LineFeedsAloneEndTheHeader)
{
    const CTraceRecord& record = Respond("HTTP/1.0 200 OK\nContent-Type: text/plain\n\nbody");
    EXPECT_EQ(record.GetHeader(), "HTTP/1.0 200 OK\nContent-Type: text/plain\n\n");
    EXPECT_EQ(record.GetContentType(), "text/plain");
    EXPECT_EQ(record.GetText(), "body");
}

TEST_F(ClassificationTest, UnfinishedHeaderMakesTheNextChunkCollectAgain)
{
    // The last byte is only a look-ahead: it is left to the display text.
    const CTraceRecord& first = Respond("HTTP/1.0 200 OK\r\nServer: x");
    EXPECT_TRUE(first.IsHeaderIncomplete());
    EXPECT_EQ(first.GetHeader(), "HTTP/1.0 200 OK\r\nServer: ");
    EXPECT_EQ(first.GetText(), "x");
    EXPECT_EQ(first.GetFullText(), "HTTP/1.0 200 OK\r\nServer: x");

    const CTraceRecord& second = Respond("yz\r\nContent-Type: image/gif\r\n\r\nGIF89a");
    EXPECT_EQ(second.GetPart(), kHeader);
    EXPECT_FALSE(second.IsHeaderIncomplete());
    EXPECT_EQ(second.GetHeader(), "yz\r\nContent-Type: image/gif\r\n\r\n");
    EXPECT_TRUE(second.IsBinary());
    EXPECT_EQ(second.GetText(), "6 Bytes Binary Data\r\n");

}

TEST_F(ClassificationTest, TinyHeaderChunksAreNeverReadPastTheirEnd)
{
    const CTraceRecord& single = Respond("\n");
    EXPECT_TRUE(single.IsHeaderIncomplete());
    EXPECT_EQ(single.GetHeader(), "");
    EXPECT_EQ(single.GetText(), "\n");
    const CTraceRecord& pair = Respond("\n\r");
    EXPECT_TRUE(pair.IsHeaderIncomplete());
    EXPECT_EQ(pair.GetHeader(), "\n\r");
    EXPECT_EQ(pair.GetText(), "");
    const CTraceRecord& empty = Respond("");
    EXPECT_EQ(empty.GetPart(), kHeader);
    EXPECT_EQ(empty.GetFullText(), "");
}

TEST_F(ClassificationTest, HeaderEndingExactlyAtTheChunksEnd)
{
    const CTraceRecord& record = Respond("HTTP/1.0 204 No Content\r\n\r\n");
    EXPECT_FALSE(record.IsHeaderIncomplete());
    EXPECT_EQ(record.GetHeader(), "HTTP/1.0 204 No Content\r\n\r\n");
    EXPECT_EQ(record.GetText(), "");
    m_pEntry = nullptr;
    EXPECT_FALSE(Respond("HTTP/1.0 204 No Content\n\n").IsHeaderIncomplete());
    m_pEntry = nullptr;
    EXPECT_TRUE(Respond("HTTP/1.0 204 No Content\r\n\r").IsHeaderIncomplete());
}

TEST_F(ClassificationTest, NulByteCutsTheTextAndMakesTheRecordBinary)
{
    CTraceConnection& entry = NewConnection();
    entry.AddChunk(kSent, kHeader, "abc\0defg"s);
    const CTraceRecord& sent = Last(entry);
    EXPECT_TRUE(sent.IsBinary());
    EXPECT_EQ(sent.GetText(), "abc\r\nBinary Data - not shown. 5 bytes.\r\n");
    EXPECT_EQ(sent.GetByteCount(), 8);

    entry.AddChunk(kSent, kHeader, "abcdefg");
    EXPECT_FALSE(Last(entry).IsBinary());
    EXPECT_EQ(Last(entry).GetText(), "abcdefg");

    // A received text chunk cut at a NUL passes the binary flag on.
    const CTraceRecord& body = Respond(ResponseHeader("text/plain") + "hi\0there"s);
    EXPECT_TRUE(body.IsBinary());
    EXPECT_EQ(body.GetText(), "hi\r\nBinary Data - not shown. 6 bytes.\r\n");
    EXPECT_TRUE(Respond("text again").IsBinary());
}

TEST_F(ClassificationTest, NulBytesSurviveInTheHeaderText)
{
    const std::string header = "HTTP/1.0 200 OK\r\nX-Odd: \0\0\r\n\r\n"s;
    const CTraceRecord& record = Respond(header);
    EXPECT_EQ(record.GetHeader(), header);
    EXPECT_EQ(record.GetFullText().substr(0, header.size()), header);
}
