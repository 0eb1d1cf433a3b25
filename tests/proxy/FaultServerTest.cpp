// Server sides and upstream proxies that fail: nothing relayed is lost or corrupted, and the
// proxy goes on serving the next browser.
#include "ProxyFixture.h"

#include "proxy/Proxy.h"
#include "support/EventLoopWait.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

const std::string k404 = CProxy::kConnectErrorReply;
const std::string kAnswer = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";

LoopbackServer::Handler Answering()
{
    return [](BlockingStream& s) {
        ReadHeader(s);
        s.Write(kAnswer);
    };
}

// Byte i of a long body.
char BodyByte(std::size_t i)
{
    return static_cast<char>((i * 7 + i / 251) & 0xFF);
}

std::int64_t ReceivedBytes(const CTraceConnection& entry)
{
    std::int64_t n = 0;
    for (const auto& r : entry.GetRecords())
        n += r->GetDirection() == ETraceDirection::Received ? r->GetByteCount() : 0;
    return n;
}

using FaultServerTest = ProxyFixture;

TEST_F(FaultServerTest, ResetMidResponseDeliversEveryByteReadBeforeItThenCloses)
{
    const std::string header = "HTTP/1.0 200 OK\r\n\r\n";
    constexpr std::size_t kBody = 4u << 20;
    std::string body(kBody, '\0');
    for (std::size_t i = 0; i < kBody; ++i)
        body[i] = BodyByte(i);
    std::atomic<bool> reset{false};
    LoopbackServer origin([&](BlockingStream& s) {
        ReadHeader(s);
        // The browser reads nothing yet, so the proxy holds bytes when the reset comes.
        s.Write(header + body, 2000);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        s.SetResetOnClose();
        s.Close();
        reset = true;
    });
    std::string reply;
    bool closed = false;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write("GET " + Url(origin.Port()) + " HTTP/1.0\r\n\r\n");
        for (int i = 0; i < 500 && !reset; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        reply = browser.ReadToEnd(10000, &closed);
    }, 20000));
    EXPECT_TRUE(closed);
    ASSERT_GT(reply.size(), header.size());
    EXPECT_EQ(reply.compare(0, reply.size(), header + body, 0, reply.size()), 0)
        << "the browser got something other than a prefix of the answer";
    ASSERT_TRUE(AllClosed());
    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_FALSE(Entries()[0]->IsOpen());
    EXPECT_EQ(ReceivedBytes(*Entries()[0]), static_cast<std::int64_t>(reply.size()))
        << "each byte read from the server reaches the browser";

    LoopbackServer next(Answering());
    EXPECT_EQ(Exchange("GET " + Url(next.Port()) + " HTTP/1.0\r\n\r\n"), kAnswer);
}

TEST_F(FaultServerTest, SilentServerHoldsOnlyItsOwnBrowser)
{
    std::atomic<bool> release{false};
    std::atomic<bool> silentSawClose{false};
    LoopbackServer origin([&](BlockingStream& s) {
        const std::string header = ReadHeader(s);
        if (header.find("/silent") == std::string::npos) {
            s.Write(kAnswer);
            return;
        }
        for (int i = 0; i < 1000 && !release; ++i) {
            bool ended = false;
            s.ReadSome(1, 10, &ended);
            if (ended) {
                silentSawClose = true;
                return;
            }
        }
    });
    int served = 0;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream silent;
        ASSERT_TRUE(silent.Connect(m_nPort));
        silent.Write("GET " + Url(origin.Port(), "/silent") + " HTTP/1.0\r\n\r\n");
        for (int i = 0; i < 20; ++i) {
            BlockingStream browser;
            if (!browser.Connect(m_nPort))
                continue;
            browser.Write("GET " + Url(origin.Port(), "/other") + " HTTP/1.0\r\n\r\n");
            served += browser.ReadToEnd(5000) == kAnswer;
        }
        // The browser gives up: its server side is closed in turn.
        silent.Close();
        for (int i = 0; i < 300 && !silentSawClose; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        release = true;
    }, 30000));
    EXPECT_EQ(served, 20);
    EXPECT_TRUE(silentSawClose);
    ASSERT_TRUE(AllClosed());
    EXPECT_EQ(Entries().size(), 21u);
}

TEST_F(FaultServerTest, UpstreamProxyDownOrRefusingGets404AndServiceGoesOn)
{
    LoopbackServer good(Answering());
    const std::string request = "GET http://server1.invalid/ HTTP/1.0\r\n\r\n";
    for (const std::string& port : {std::to_string(ClosedPort()), std::string("abc"), std::string()}) {
        m_pApp->ApplySettings("localhost", "0", "127.0.0.1", port);
        EXPECT_EQ(Exchange(request), k404) << "port " << port;
    }
    m_pApp->ApplySettings("localhost", "0", std::string(64, 'u') + ".invalid", "3128");
    EXPECT_EQ(Exchange(request), k404);

    // An upstream that takes the connection and resets it: the browser is closed, no bytes.
    LoopbackServer resetting([](BlockingStream& s) {
        ReadHeader(s);
        s.SetResetOnClose();
    });
    m_pApp->ApplySettings("localhost", "0", "127.0.0.1", std::to_string(resetting.Port()));
    EXPECT_EQ(Exchange(request), "");

    // Back to a working upstream: served.
    m_pApp->ApplySettings("localhost", "0", "127.0.0.1", std::to_string(good.Port()));
    EXPECT_EQ(Exchange(request), kAnswer);
    ASSERT_TRUE(AllClosed());
    ASSERT_EQ(Entries().size(), 6u);
    for (const auto& entry : Entries())
        EXPECT_FALSE(entry->IsOpen());
}

TEST_F(FaultServerTest, FailedConnectsInterleavedWithGoodOnesLeaveNoDebris)
{
    LoopbackServer good(Answering());
    const std::string refused = "GET " + Url(ClosedPort()) + " HTTP/1.0\r\n\r\n";
    const std::string unknown = "GET http://" + std::string(64, 'a') + ".invalid/ HTTP/1.0\r\n\r\n";
    const std::string fine = "GET " + Url(good.Port()) + " HTTP/1.0\r\n\r\n";
    for (int round = 0; round < 10; ++round) {
        EXPECT_EQ(Exchange(refused), k404);
        EXPECT_EQ(Exchange(unknown), k404);
        EXPECT_EQ(Exchange(fine), kAnswer);
    }
    ASSERT_TRUE(AllClosed());
    EXPECT_EQ(Entries().size(), 30u);
}

} // namespace
