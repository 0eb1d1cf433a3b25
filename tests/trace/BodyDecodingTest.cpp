#include "TraceFixture.h"
#include "trace/CharsetText.h"
#include "trace/DecodedTextBudget.h"
#include "trace/MemoryBudget.h"
#include "trace/ResponseDecoder.h"

#include <brotli/encode.h>
#include <zlib.h>
#include <zstd.h>

#include <string>
#include <vector>

using namespace tracetest;

namespace {

// windowBits: 31 gzip, 15 zlib-wrapped deflate, -15 raw deflate.
std::string Zlib(const std::string& plain, int windowBits)
{
    z_stream s{};
    deflateInit2(&s, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&s, plain.size()) + 64, '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    s.avail_in = static_cast<uInt>(plain.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

std::string Compress(const std::string& coding, const std::string& plain)
{
    if (coding == "gzip")
        return Zlib(plain, 31);
    if (coding == "deflate")
        return Zlib(plain, 15);
    if (coding == "rawdeflate")
        return Zlib(plain, -15);
    std::string out(plain.size() + 1024, '\0');
    std::size_t size = out.size();
    if (coding == "br")
        BrotliEncoderCompress(5, 22, BROTLI_MODE_TEXT, plain.size(),
                              reinterpret_cast<const uint8_t*>(plain.data()), &size,
                              reinterpret_cast<uint8_t*>(out.data()));
    else
        size = ZSTD_compress(out.data(), out.size(), plain.data(), plain.size(), 3);
    out.resize(size);
    return out;
}

std::string Chunked(const std::string& body, std::size_t piece)
{
    std::string out;
    for (std::size_t at = 0; at < body.size(); at += piece) {
        const std::string part = body.substr(at, piece);
        char size[32];
        std::snprintf(size, sizeof size, "%zx;ext=1\r\n", part.size());
        out += size + part + "\r\n";
    }
    return out + "0\r\nX-Trailer: 1\r\n\r\n";
}

// A response header for body: chunked (body is framed so), else with its Content-Length.
std::string Header(const std::string& coding, const std::string& body, bool chunked,
                   const std::string& type = "text/html")
{
    return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Encoding: " + coding
           + (chunked ? "\r\nTransfer-Encoding: chunked"
                      : "\r\nContent-Length: " + std::to_string(body.size()))
           + "\r\n\r\n";
}

class BodyDecodingTest : public TraceTest {
protected:
    // Request, then the response cut into pieces of `split` bytes (the first one holds the
    // header and the first body bytes).
    CTraceConnection& Exchange(const std::string& header, const std::string& body,
                               std::size_t split)
    {
        CTraceConnection& entry = NewConnection();
        entry.AddChunk(kSent, kHeader, kRequest);
        const std::string wire = header + body;
        m_chunks = {kRequest};
        for (std::size_t at = 0; at < wire.size();) {
            const std::size_t size = at == 0 ? header.size() + split : split;
            m_chunks.push_back(wire.substr(at, size));
            entry.AddChunk(kReceived, at == 0 ? kHeader : kBody, m_chunks.back());
            at += size;
        }
        return entry;
    }

    static std::string BodyTexts(const CTraceConnection& entry, std::int64_t& bytes)
    {
        std::string all;
        bytes = 0;
        for (std::size_t i = 1; i < entry.GetRecords().size(); ++i) {
            all += Record(entry, i).GetText();
            bytes += Record(entry, i).GetByteCount();
        }
        return all;
    }

    std::vector<std::string> m_chunks; // of the last exchange
    std::string m_strPage = MakePage();
    static std::string MakePage()
    {
        std::string page = "<html><body>\r\n";
        for (int i = 0; i < 3000; ++i)
            page += "<p>line " + std::to_string(i * 7919 % 1000) + " of the page</p>\r\n";
        return page + "</body></html>\r\n";
    }
};

} // namespace

TEST_F(BodyDecodingTest, EveryCodingDecodesAcrossOddChunkBoundaries)
{
    m_app.m_bDecodeBodies = 1;
    for (const std::string coding : {"gzip", "deflate", "rawdeflate", "br", "zstd"}) {
        const std::string name = coding == "rawdeflate" ? "deflate" : coding;
        const std::string compressed = Compress(coding, m_strPage);
        for (const bool chunked : {false, true}) {
            for (const std::size_t split : {std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
                SCOPED_TRACE(coding + (chunked ? " chunked " : " ") + std::to_string(split));
                if (split == 1 && coding != "gzip" && coding != "rawdeflate")
                    continue; // byte by byte once per framing is enough
                const std::string body = chunked ? Chunked(compressed, 333) : compressed;
                CTraceConnection& entry = Exchange(Header(name, body, chunked), body, split);
                std::int64_t bytes = 0;
                const std::string shown = BodyTexts(entry, bytes);
                EXPECT_EQ(bytes, static_cast<std::int64_t>(Header(name, body, chunked).size()
                                                           + body.size()));
                EXPECT_EQ(shown, "[decoded from " + name + "]\r\n" + m_strPage + "\r\n[end of " + name
                                     + " body: " + FormatByteCount(compressed.size()) + " -> "
                                     + FormatByteCount(m_strPage.size()) + " bytes]\r\n");
                EXPECT_EQ(Record(entry, 1).GetSummary(), "HTTP/1.1 200 OK");
                EXPECT_FALSE(Last(entry).IsBinary());
            }
        }
    }
}

TEST_F(BodyDecodingTest, EachResponseOfAKeepAliveConnectionHasItsOwnDecoder)
{
    m_app.m_bDecodeBodies = 1;
    CTraceConnection& entry = NewConnection();
    for (const std::string coding : {"br", "gzip"}) {
        entry.AddChunk(kSent, kHeader, kRequest);
        const std::string body = Compress(coding, "hello " + coding);
        entry.AddChunk(kReceived, kHeader, Header(coding, body, false) + body);
        EXPECT_EQ(Last(entry).GetText(), "[decoded from " + coding + "]\r\nhello " + coding
                                             + "\r\n[end of " + coding + " body: "
                                             + FormatByteCount(Compress(coding, "hello " + coding).size())
                                             + " -> " + FormatByteCount(6 + coding.size()) + " bytes]\r\n");
    }
}

TEST_F(BodyDecodingTest, CorruptStreamAndBombStopWithANoteAndLaterChunksShowAsToday)
{
    m_app.m_bDecodeBodies = 1;
    std::string corrupt = Compress("gzip", m_strPage);
    for (std::size_t i = 200; i < 260; ++i)
        corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5A);
    CTraceConnection& broken = Exchange(Header("gzip", corrupt, false), corrupt, 500);
    EXPECT_NE(Record(broken, 1).GetText().find("[gzip decoding stopped after "), std::string::npos);
    EXPECT_NE(Record(broken, 1).GetText().find(": the data is corrupt; the rest is shown as received]"),
              std::string::npos);
    // The chunk after it is shown as it came: up to its first NUL, then the binary note.
    EXPECT_EQ(Record(broken, 2).GetText(), CTraceRecord(1, 1, kReceived, kBody, m_chunks[2], false, false).GetText());

    // Bombs: cut at 100 times their compressed size.
    for (const std::string coding : {"zstd", "gzip"}) {
        const std::string bomb = Compress(coding, std::string(coding == "zstd" ? 64 << 20 : 32 << 20, 'a'));
        const std::string header = Header(coding, bomb, false, "text/plain");
        CTraceConnection& cut = Exchange(header, bomb, 4096);
        std::int64_t bytes = 0;
        const std::string shown = BodyTexts(cut, bytes);
        EXPECT_EQ(bytes, static_cast<std::int64_t>(header.size() + bomb.size()));
        // (The chunk after the cut shows as it came, up to its first NUL.)
        EXPECT_LT(shown.size(), std::max<std::size_t>(100 * bomb.size(), 256 << 10) + 4096 + 300);
        EXPECT_NE(shown.find("[decoded text cut at "), std::string::npos);
    }
}

TEST_F(BodyDecodingTest, FortySmallBodiesOfMuchTextHoldAFewMegabytesNewestDecoded)
{
    m_app.m_bDecodeBodies = 1;
    std::string text;
    for (int i = 0; i < (4 << 20); ++i)
        text += "<br>";
    const std::string bomb = Compress("gzip", text); // about 16 KB: cut at 100 times that
    const std::string header = Header("gzip", bomb, false);
    for (int i = 0; i < 40; ++i)
        Exchange(header, bomb, 65536);
    // Held bytes are counted, not measured: the decoded text, and all the records.
    EXPECT_LE(m_store.DecodedText()->Held(), CDecodedTextBudget::kDefaultLimit);
    EXPECT_LT(m_store.Memory()->Held(), 6u << 20);
    // The newest keep their decoded text, the oldest gave theirs up with the note.
    const auto& entries = m_store.GetConnections();
    EXPECT_NE(Record(*entries.back(), 1).GetText().find(
                  "[decoded text cut at " + FormatByteCount(100 * bomb.size())),
              std::string::npos);
    EXPECT_EQ(Record(*entries.front(), 1).GetText(), "[dropped: memory budget]\r\n");
    EXPECT_EQ(Record(*entries.front(), 1).GetSummary(), "HTTP/1.1 200 OK");

    // Freed records give everything back.
    for (const auto& entry : entries)
        entry->DetachConnection();
    m_store.PurgeClosedConnections();
    EXPECT_EQ(m_store.DecodedText()->Held(), 0u);
    EXPECT_EQ(m_store.Memory()->Held(), 0u);
}

TEST_F(BodyDecodingTest, StreamThatEndsBeforeItsBodySaysSo)
{
    m_app.m_bDecodeBodies = 1;
    const std::string whole = Compress("gzip", m_strPage);
    const std::string cut = whole.substr(0, whole.size() / 2);
    const std::string untold =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\n\r\n";
    // Its end told by Content-Length, by the last chunk, or by the connection's close.
    for (const std::string framing : {"length", "chunked", "close"}) {
        SCOPED_TRACE(framing);
        const std::string body = framing == "chunked" ? Chunked(cut, 300) : cut;
        CTraceConnection& entry = Exchange(
            framing == "close" ? untold : Header("gzip", body, framing == "chunked"), body, 1000);
        if (framing == "close")
            entry.DetachConnection();
        std::int64_t bytes = 0;
        const std::string shown = BodyTexts(entry, bytes);
        const std::string note =
            "\r\n[gzip stream cut short: " + FormatByteCount(cut.size()) + " -> ";
        ASSERT_NE(shown.find(note), std::string::npos) << shown.substr(shown.size() - 200);
        EXPECT_EQ(shown.substr(shown.size() - 9), " bytes]\r\n");
        EXPECT_EQ(m_strPage.compare(0, shown.find(note) - 21, shown, 21, shown.find(note) - 21), 0);
    }
}

TEST_F(BodyDecodingTest, SwitchOffLeavesEveryTextAsToday)
{
    for (const std::string coding : {"gzip", "br"}) {
        const std::string body = Chunked(Compress(coding, m_strPage), 100);
        CTraceConnection& entry = Exchange(Header(coding, body, true), body, 77);
        for (std::size_t i = 1; i < entry.GetRecords().size(); ++i) {
            const CTraceRecord today(1, 1, kReceived, i == 1 ? kHeader : kBody, m_chunks[i],
                                     Record(entry, i - 1).IsBinary(), false);
            EXPECT_EQ(Record(entry, i).GetFullText(), today.GetFullText()) << i;
            EXPECT_EQ(Record(entry, i).IsBinary(), today.IsBinary()) << i;
        }
    }
}

TEST_F(BodyDecodingTest, CharsetComesFromTheHeaderOrTheFirstMetaAndPanesReadIt)
{
    CTraceConnection& entry = NewConnection();
    entry.AddChunk(kSent, kHeader, kRequest);
    entry.AddChunk(kReceived, kHeader, ResponseHeader("text/html") + "<html><head><title>x</title><ME");
    entry.AddChunk(kReceived, kBody, "TA http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\">"
                         "\x93\xfa\x96\x7b\x8c\xea");
    EXPECT_EQ(Last(entry).GetCharset(), "shift_jis");
    EXPECT_NE(Last(entry).GetDisplayText().find("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"), std::string::npos);
    entry.AddChunk(kSent, kHeader, kRequest);
    entry.AddChunk(kReceived, kHeader, ResponseHeader("text/plain; charset=\"windows-1252\"") + "caf\xe9 \x80");
    EXPECT_EQ(Last(entry).GetCharset(), "windows-1252");
    EXPECT_EQ(Last(entry).GetText(), "caf\xe9 \x80"); // the record keeps the bytes

    // Other charsets, the fallbacks, and U+FFFD for bytes that do not decode.
    EXPECT_EQ(ToDisplayUtf8("\xc4\xe3\xba\xc3", "GBK"), "\xE4\xBD\xA0\xE5\xA5\xBD");
    EXPECT_EQ(ToDisplayUtf8("\xc7\xd1\xb1\xdb", "EUC-KR"), "\xED\x95\x9C\xEA\xB8\x80");
    EXPECT_EQ(ToDisplayUtf8("\xe9", "ISO-8859-1"), "\xC3\xA9");
    EXPECT_EQ(ToDisplayUtf8("\x82\xa0\xff", "shift_jis"), "\xE3\x81\x82\xEF\xBF\xBD");
    EXPECT_EQ(ToDisplayUtf8("caf\xC3\xA9 \xE6\x97", ""), "caf\xC3\xA9 \xE6\x97"); // cut UTF-8 stays
    EXPECT_EQ(ToDisplayUtf8("caf\xe9s", "no-such-charset"), "caf\xC3\xA9s");
    EXPECT_EQ(ToDisplayUtf8("plain", "shift_jis"), "plain");
}
