#include "ProxyFixture.h"

#include "proxy/Proxy.h"
#include "support/EventLoopWait.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"

#include <atomic>

namespace {

const std::string k400 = "HTTP/1.0 400 Invalid header received from browser\n\n";
const std::string k200 = "HTTP/1.0 200 Connection established\nProxy-agent: Kestrune-Proxy/1.0\n\n";
const std::string k404 =
    "HTTP/1.0 404 Error connecting to site\nPragma: no-cache\nContent-Type: text/html\n\n"
    "<html>\n<head>\n<FONT FACE=\"Arial,Helvetica\">\nSite does not exist.\n</head>\n\n";

std::string AllByteValues()
{
    std::string bytes;
    for (int round = 0; round < 4; ++round)
        for (int i = 0; i < 256; ++i)
            bytes += static_cast<char>(i);
    return bytes;
}

using ProxyRepliesTest = ProxyFixture;

TEST_F(ProxyRepliesTest, RepliesAreExactTexts)
{
    EXPECT_EQ(k400.size(), 51u);
    EXPECT_EQ(std::string(CProxy::kBadHeaderReply), k400);
    EXPECT_EQ(std::string(CProxy::kTunnelReply), k200);
    EXPECT_EQ(std::string(CProxy::kConnectErrorReply), k404);
}

TEST_F(ProxyRepliesTest, BareLineFeedHeaderGets400AndNoTrace)
{
    EXPECT_EQ(Exchange("GET http://127.0.0.1:1/ HTTP/1.0\nHost: x\n\n"), k400);
    ASSERT_TRUE(AllClosed());
    EXPECT_TRUE(Entries().empty());
}

TEST_F(ProxyRepliesTest, UnreachableServersGet404)
{
    const std::string refused = "GET " + Url(ClosedPort()) + " HTTP/1.0\r\n\r\n";
    const std::string unknown = "GET http://" + std::string(64, 'a') + ".invalid/ HTTP/1.0\r\n\r\n";
    const std::string pathOnly = "GET /index.html HTTP/1.0\r\n\r\n";
    const std::string noSlash = "GET http://127.0.0.1 HTTP/1.0\r\n\r\n";
    const std::string badPort = "GET http://127.0.0.1:99999/ HTTP/1.0\r\n\r\n";
    for (const std::string& request : {refused, unknown, pathOnly, noSlash, badPort})
        EXPECT_EQ(Exchange(request), k404) << request;

    // Each attempt keeps its entry with the request header that was queued for it.
    ASSERT_TRUE(AllClosed());
    ASSERT_EQ(Entries().size(), 5u);
    for (const auto& entry : Entries()) {
        EXPECT_FALSE(entry->IsOpen());
        ASSERT_EQ(entry->GetRecords().size(), 1u);
    }
}

TEST_F(ProxyRepliesTest, ConnectTunnelIsByteExactBothWays)
{
    const std::string up = AllByteValues();
    const std::string down(up.rbegin(), up.rend());
    std::string atServer;
    LoopbackServer origin([&](BlockingStream& s) {
        atServer = s.ReadExactly(up.size());
        s.Write(down);
        s.ReadToEnd(3000);
    });
    std::string reply, tunnelled;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write("CONNECT 127.0.0.1:" + std::to_string(origin.Port()) + " HTTP/1.1\r\n\r\n");
        reply = browser.ReadExactly(k200.size());
        browser.Write(up);
        tunnelled = browser.ReadExactly(down.size());
    }));
    EXPECT_EQ(reply, k200);
    EXPECT_EQ(atServer, up);
    EXPECT_EQ(tunnelled, down);

    ASSERT_TRUE(AllClosed());
    ASSERT_EQ(Entries().size(), 1u);
    const CTraceConnection& entry = *Entries()[0];
    EXPECT_TRUE(entry.IsSSL());
    std::int64_t sent = 0, received = 0;
    for (const auto& r : entry.GetRecords())
        (r->GetDirection() == ETraceDirection::Sent ? sent : received) += r->GetByteCount();
    EXPECT_EQ(sent, static_cast<std::int64_t>(up.size())); // the CONNECT header is not recorded
    EXPECT_EQ(received, static_cast<std::int64_t>(down.size()));
}

TEST_F(ProxyRepliesTest, BytesRightAfterConnectGoToTheServerOnly)
{
    const std::string early("\x16\x03\x01 hello\0", 10);
    std::string atServer;
    LoopbackServer origin([&](BlockingStream& s) {
        atServer = s.ReadExactly(early.size());
        s.Write("ok");
    });
    std::string reply;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write("CONNECT 127.0.0.1:" + std::to_string(origin.Port()) + " HTTP/1.0\r\n\r\n"
                      + early);
        reply = browser.ReadToEnd();
    }));
    EXPECT_EQ(atServer, early);
    EXPECT_EQ(reply, k200 + "ok");
    ASSERT_TRUE(AllClosed());
    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_EQ(Records(*Entries()[0]), "0/1/10 1/1/2");
}

TEST_F(ProxyRepliesTest, FailedConnectTunnelGets200Then404)
{
    EXPECT_EQ(Exchange("CONNECT 127.0.0.1:" + std::to_string(ClosedPort()) + " HTTP/1.0\r\n\r\n"),
              k200 + k404);
    EXPECT_EQ(Exchange("CONNECT " + std::string(64, 'b') + ".invalid:443 HTTP/1.0\r\n\r\n"),
              k200 + k404);
}

TEST_F(ProxyRepliesTest, UpstreamConnectIsPassedOnWithoutOwnReply)
{
    std::string header;
    LoopbackServer upstream([&](BlockingStream& s) {
        header = ReadHeader(s);
        s.Write("HTTP/1.1 200 Connection established\r\n\r\n");
    });
    m_pApp->ApplySettings("localhost", "0", "127.0.0.1", std::to_string(upstream.Port()));
    const std::string request = "CONNECT server1.invalid:443 HTTP/1.1\r\nHost: server1.invalid\r\n\r\n";
    EXPECT_EQ(Exchange(request), "HTTP/1.1 200 Connection established\r\n\r\n");
    EXPECT_EQ(header, request);
    ASSERT_TRUE(AllClosed());
    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_TRUE(Entries()[0]->IsSSL());
}

TEST_F(ProxyRepliesTest, GarbageAndEndlessHeadersDoNotHurtTheProxy)
{
    std::srand(7);
    for (int round = 0; round < 5; ++round) {
        std::string garbage(20000, '\0');
        for (char& c : garbage)
            c = static_cast<char>(std::rand() & 0xFF);
        EXPECT_TRUE(RunClient([&] {
            BlockingStream browser;
            ASSERT_TRUE(browser.Connect(m_nPort));
            browser.Write(garbage);
            browser.ShutdownWrite(); // an unfinished header then ends with the connection
            browser.ReadToEnd(3000);
        }));
    }
    // A header that never ends is refused once it passes the limit.
    std::string reply;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write("GET http://127.0.0.1:1/ HTTP/1.1\r\n");
        const std::string line = "X-Filler: " + std::string(1000, 'f') + "\r\n";
        std::string lines;
        for (int i = 0; i < 100; ++i)
            lines += line;
        for (int i = 0; i < 30 && browser.Write(lines, 2000); ++i) {
        }
        reply = browser.ReadToEnd(3000);
    }, 20000));
    if (!reply.empty()) {
        EXPECT_EQ(reply, k400); // or a reset, when the browser was still sending
    }
    EXPECT_TRUE(AllClosed());

    // And it still serves.
    LoopbackServer origin([](BlockingStream& s) {
        ReadHeader(s);
        s.Write("HTTP/1.0 204 No Content\r\n\r\n");
    });
    EXPECT_EQ(Exchange("GET " + Url(origin.Port()) + " HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 204 No Content\r\n\r\n");
}

} // namespace
