// What the exporters and the filter read from an exchange: the phases of its time, its bodies
// without their codings, its URL in printable form, and the filter's terms.
#include "support/ExchangeWords.h"
#include "trace/ExchangeContent.h"
#include "trace/ExchangePhases.h"
#include "trace/ExchangeUrl.h"
#include "trace/ListingFilter.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

TEST(ExchangePhasesTest, SplitsTheTimesAsHarNamesThem)
{
    const struct {
        const char* what;
        SExchangeTimes times;
        SExchangePhases phases;
    } cases[] = {
        {"new TLS connection", {1000, 3000, 4500, 7000, 7100, 17100, 20100},
         {-1, 2, 4, 2.5, 0.1, 10, 3}},
        {"reused connection", {1000, 0, 0, 0, 1250, 2250, 2300}, {-1, -1, -1, -1, 0.25, 1, 0.05}},
        {"no answer", {1000, 0, 0, 0, 1500, 0, 9000}, {-1, -1, -1, -1, 0.5, 0, 0}},
        {"answer before the request's end", {1000, 0, 0, 0, 5000, 3000, 6000}, {-1, -1, -1, -1, 4, 0, 1}},
        {"never started", {}, {}},
    };
    for (const auto& c : cases) {
        const SExchangePhases got = ExchangePhases(c.times);
        const double want[] = {c.phases.blocked, c.phases.dns, c.phases.connect, c.phases.ssl,
                               c.phases.send, c.phases.wait, c.phases.receive};
        const double have[] = {got.blocked, got.dns, got.connect, got.ssl, got.send, got.wait, got.receive};
        for (int i = 0; i < 7; ++i)
            EXPECT_DOUBLE_EQ(have[i], want[i]) << c.what << " phase " << i;
    }
    EXPECT_DOUBLE_EQ(ExchangePhases(cases[0].times).Total(), 19.1); // ssl counted within connect
}

std::string Gzip(const std::string& text)
{
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::string out(text.size() + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

TEST(ExchangeContentTest, TakesOffChunkingAndContentCoding)
{
    CTraceStore store;
    const std::string page(5000, 'p');
    const std::string zipped = Gzip(page);
    char size[16];
    std::snprintf(size, sizeof size, "%zx", zipped.size());
    const struct {
        const char* what;
        std::string response;
        std::string content;
        bool complete, decoded;
    } cases[] = {
        {"plain", "HTTP/1.1 200 OK\r\n\r\nabc", "abc", true, false},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=y\r\nabc\r\n1\r\nd\r\n0\r\nT: 1\r\n\r\n",
         "abcd", true, false},
        {"chunked, cut", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nab", "ab", false, false},
        {"gzip in chunks", "HTTP/1.1 200 OK\r\nContent-Encoding: GZIP\r\nTransfer-Encoding: chunked\r\n\r\n"
                               + std::string(size) + "\r\n" + zipped + "\r\n0\r\n\r\n",
         page, true, true},
        {"corrupt gzip", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\nnot gzip", "not gzip", true, false},
        {"unknown coding", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip, br\r\n\r\nxy", "xy", true, false},
    };
    for (const auto& c : cases) {
        const auto exchange = MakeExchange(store, "GET / HTTP/1.1\r\n\r\n", c.response, "h", 80);
        const SExchangeContent content = ResponseContent(*exchange, 1 << 20);
        EXPECT_EQ(content.bytes, c.content) << c.what;
        EXPECT_EQ(content.complete, c.complete) << c.what;
        EXPECT_EQ(content.decoded, c.decoded) << c.what;
    }
    // Past the bound the body stays as it came.
    const auto big = MakeExchange(store, "GET / HTTP/1.1\r\n\r\n",
                                  "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + zipped, "h", 80);
    EXPECT_EQ(ResponseContent(*big, 100).bytes, zipped);
}

TEST(ExchangeContentTest, TellsUtf8FromOtherBytes)
{
    for (const char* good : {"", "abc", "\xc3\xa9t\xc3\xa9", "\xef\xbf\xbd", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf"})
        EXPECT_TRUE(IsUtf8(good)) << good;
    for (const char* bad : {"\xe9t\xe9", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                            "\xe2\x82", "\x80", "\xf8\x88\x80\x80\x80"})
        EXPECT_FALSE(IsUtf8(bad)) << bad;
}

TEST(ExchangeUrlTest, IsTheRoutedAddressInPrintableForm)
{
    CTraceStore store;
    const struct {
        std::string request;
        const char* host;
        std::uint16_t port;
        bool https;
        const char* url;
    } cases[] = {
        {"GET /z HTTP/1.1\r\nHost: bank.invalid\r\n\r\n", "127.0.0.1", 4443, true, "https://127.0.0.1:4443/z"},
        {"GET https://x.test/a?b HTTP/1.1\r\n\r\n", "x.test", 443, true, "https://x.test/a?b"},
        {"GET /z HTTP/1.1\r\n\r\n", "::1", 80, false, "http://[::1]/z"},
        {std::string("GET /a") + '\0' + "b HTTP/1.1\r\n\r\n", "h", 8080, false, "http://h:8080/a%00b%7F%E9%20c"},
    };
    for (const auto& c : cases) {
        const auto exchange = MakeExchange(store, c.request, "", c.host, c.port, c.https);
        if (c.request.find('\0') != std::string::npos)
            exchange->m_strTarget = std::string("/a") + '\0' + "b\x7f\xe9 c"; // as the relay passed it on
        EXPECT_EQ(PrintableUrl(*exchange), c.url);
    }
}

TEST(ListingFilterTest, SelectsExchangesByRouteMethodStatusAndText)
{
    CTraceStore store;
    const auto page = MakeExchange(store, "GET /index HTTP/1.1\r\nHost: other.test\r\n\r\n",
                                   "HTTP/1.1 200 OK\r\n\r\nwelcome", "bank.invalid", 8443, true);
    const auto form = MakeExchange(store, "POST /form HTTP/1.1\r\n\r\nsecret=1",
                                   "HTTP/1.1 404 Not Found\r\n\r\n", "shop.test", 80);
    const auto cut = MakeExchange(store, "GET /big HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n", "shop.test", 80);
    cut->m_nEnd = EExchangeEnd::Truncated;
    const struct {
        const char* filter;
        bool page, form, cut;
    } cases[] = {
        {"host:BANK.invalid:8443", true, false, false}, // the routed authority, not Host
        {"host:other.test", false, false, false},
        {"method:post", false, true, false},
        {"status:2xx", true, false, true},
        {"-status:404", true, false, true},
        {"truncated", false, false, true},
        {"https://bank", true, false, false},
        {"text:secret=1", false, true, false},
        {"text:welcome host:bank", true, false, false},
    };
    for (const auto& c : cases) {
        const CListingFilter filter = CListingFilter::Parse(c.filter);
        ASSERT_EQ(filter.GetError(), "") << c.filter;
        EXPECT_EQ(filter.Matches(*page), c.page) << c.filter;
        EXPECT_EQ(filter.Matches(*form), c.form) << c.filter;
        EXPECT_EQ(filter.Matches(*cut), c.cut) << c.filter;
    }
}

} // namespace
