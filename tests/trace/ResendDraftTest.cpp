// The Edit and Resend editor's request: what it refuses, the head it makes, and where
// Content-Length comes from.
#include "trace/ResendDraft.h"
#include "trace/Exchange.h"
#include "trace/ResendRequest.h"

#include <gtest/gtest.h>

namespace {

SResendDraft Draft(const char* method, const char* url,
                   std::vector<std::pair<std::string, std::string>> fields, const char* body = "",
                   bool userLength = false)
{
    SResendDraft draft;
    draft.lengthSetByUser = userLength;
    draft.method = method;
    draft.url = url;
    draft.fields = std::move(fields);
    draft.body = body;
    return draft;
}

TEST(ResendDraftTest, RefusesWhatCannotBeSent)
{
    const struct {
        SResendDraft draft;
        const char* says;
    } cases[] = {
        {Draft("GET", "http:///path", {}), "names no host"},
        {Draft("GET", "example.test/x", {}), "must begin with http"},
        {Draft("GET", "http://a.test:99999/", {}), "port must be"},
        {Draft("GET", "http://a.test/a b", {}), "blanks"},
        {Draft("GET", "http://user:pw@a.test/", {}), "user name"},
        {Draft("GE T", "http://a.test/", {}), "method must be"},
        {Draft("GET", "http://a.test/", {{"X Trace", "1"}}), "\"X Trace\" is not valid"},
        {Draft("GET", "http://a.test/", {{"", "orphan value"}}), "\"\" is not valid"},
        {Draft("GET", "http://a.test/", {{"X-A", "1\r\nX-B: 2"}}), "line break"},
        {Draft("POST", "http://a.test/", {{"Transfer-Encoding", "gzip"}}, "x"), "do not agree"},
        {Draft("POST", "http://a.test/", {{"Content-Length", "x"}}, "abc", true), "do not agree"},
        {Draft("POST", "http://a.test/", {}, "abc", true), "needs a Content-Length"},
    };
    for (const auto& c : cases) {
        SResendRequest request;
        std::string error;
        EXPECT_FALSE(c.draft.Compose(1, request, error)) << c.says;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
}

TEST(ResendDraftTest, LengthFollowsTheBodyUnlessTheUserSetIt)
{
    SResendDraft draft = Draft("POST", "HTTPS://[::1]:8443/p?q#frag",
                               {{"X-A", " 1 "}, {"Content-Length", "3"}, {"", ""}}, "hello");
    SResendRequest request;
    std::string error;
    ASSERT_TRUE(draft.Compose(9, request, error)) << error;
    EXPECT_TRUE(request.https && request.host == "::1" && request.port == 8443
                && request.replayOf == 9);
    EXPECT_EQ(request.head,
              "POST /p?q HTTP/1.1\r\nHost: [::1]:8443\r\nX-A: 1\r\nContent-Length: 5\r\n\r\n");

    draft.lengthSetByUser = true; // the user's own (wrong) length goes as written
    ASSERT_TRUE(draft.Compose(9, request, error)) << error;
    EXPECT_NE(request.head.find("Content-Length: 3\r\n"), std::string::npos);

    // No length field and a body: one is added; no body: none.
    ASSERT_TRUE(
        Draft("PUT", "http://a.test", {{"Host", "b.test"}}, "xy").Compose(1, request, error));
    EXPECT_EQ(request.head, "PUT / HTTP/1.1\r\nHost: b.test\r\nContent-Length: 2\r\n\r\n");
    ASSERT_TRUE(
        Draft("GET", "http://a.test:80?x", {{"Host", "b.test"}}).Compose(1, request, error));
    EXPECT_EQ(request.head, "GET /?x HTTP/1.1\r\nHost: b.test\r\n\r\n");
}

TEST(ResendDraftTest, ChunkedExchangeIsEditedAsItsContentAndCutBodiesAreNotReplayed)
{
    CExchange exchange;
    exchange.m_strHost = "a.test";
    exchange.m_nPort = 80;
    exchange.m_strMethod = "POST";
    exchange.m_strTarget = "http://a.test/up";
    exchange.m_strRequestHead =
        "POST http://a.test/up HTTP/1.1\r\nHost: a.test\r\nTransfer-Encoding: chunked\r\n\r\n";
    exchange.m_RequestBody.bytes = "3\r\nabc\r\n0\r\n\r\n";
    exchange.m_RequestBody.total = exchange.m_RequestBody.bytes.size();
    const SResendDraft draft = SResendDraft::FromExchange(exchange);
    EXPECT_EQ(draft.body, "abc");
    ASSERT_EQ(draft.fields.size(), 2u);
    EXPECT_EQ(draft.fields[1], std::make_pair(std::string("Content-Length"), std::string("3")));

    SResendRequest request;
    std::string error;
    ASSERT_TRUE(ResendOfExchange(exchange, request, error)) << error;
    EXPECT_EQ(request.body, exchange.m_RequestBody.bytes); // unchanged: still chunked
    exchange.m_RequestBody.total += 100;
    EXPECT_FALSE(ResendOfExchange(exchange, request, error));
}

TEST(ResendDraftTest, HexTextReadsBackAndRefusesStrayDigits)
{
    const std::string bytes("\x00\x01\xfe\xff"
                            "0123456789abcdefXYZ\n",
                            24);
    std::string back;
    ASSERT_TRUE(ParseHexText(HexText(bytes), back));
    EXPECT_EQ(back, bytes);
    for (const char* bad : {"0", "0g", "a b", "00 1", "0x10"})
        EXPECT_FALSE(ParseHexText(bad, back)) << bad;
}

} // namespace
