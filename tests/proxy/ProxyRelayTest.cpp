#include "ProxyFixture.h"

#include "proxy/Proxy.h"
#include "support/EventLoopWait.h"
#include "trace/TraceConnection.h"
#include "trace/TraceStore.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <mutex>

namespace {

const std::string kResponse =
    "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";

// An origin server that keeps the first request header it gets and answers with `response`.
struct Origin {
    explicit Origin(std::string response = kResponse)
        : server([this, response](BlockingStream& s) {
            const std::string header = ReadHeader(s);
            {
                std::lock_guard<std::mutex> hold(lock);
                received = header;
            }
            s.Write(response);
        })
    {
    }
    std::string Received()
    {
        std::lock_guard<std::mutex> hold(lock);
        return received;
    }
    std::mutex lock;
    std::string received;
    LoopbackServer server;
};

using ProxyRelayTest = ProxyFixture;

TEST_F(ProxyRelayTest, AbsoluteUrlBecomesPathAndEverythingIsTraced)
{
    Origin origin;
    const std::string request = "GET " + Url(origin.server.Port(), "/a/b?c=1")
        + " HTTP/1.1\r\nHost: server1\r\nAccept: */*\r\n\r\n";
    EXPECT_EQ(Exchange(request), kResponse);
    const std::string forwarded = "GET /a/b?c=1 HTTP/1.1\r\nHost: server1\r\nAccept: */*\r\n\r\n";
    EXPECT_EQ(origin.Received(), forwarded);

    ASSERT_TRUE(AllClosed());
    ASSERT_EQ(Entries().size(), 1u);
    const CTraceConnection& entry = *Entries()[0];
    EXPECT_FALSE(entry.IsOpen());
    EXPECT_FALSE(entry.IsSSL());
    EXPECT_EQ(Records(entry), "0/1/" + std::to_string(forwarded.size()) + " 1/1/"
                                  + std::to_string(kResponse.size()));
    EXPECT_EQ(m_pApp->m_nBytesSent, static_cast<std::int64_t>(forwarded.size()));
    EXPECT_EQ(m_pApp->m_nBytesReceived, static_cast<std::int64_t>(kResponse.size()));
}

TEST_F(ProxyRelayTest, LowerCaseMethodAndHostNameKept)
{
    Origin origin;
    const std::string request = "get http://localhost:" + std::to_string(origin.server.Port())
        + "/ HTTP/1.0\r\n\r\n";
    EXPECT_EQ(Exchange(request), kResponse);
    EXPECT_EQ(origin.Received(), "get / HTTP/1.0\r\n\r\n");
}

TEST_F(ProxyRelayTest, UpstreamProxyGetsTheHeaderUnchanged)
{
    Origin upstream;
    m_pApp->ApplySettings("localhost", "0", "127.0.0.1", std::to_string(upstream.server.Port()));
    const std::string request =
        "GET http://server1.invalid/x?y HTTP/1.1\r\nHost: server1.invalid\r\n\r\n";
    EXPECT_EQ(Exchange(request), kResponse);
    EXPECT_EQ(upstream.Received(), request);
}

TEST_F(ProxyRelayTest, HeaderEndsAreRelayedOnceAndInOrder)
{
    // Lines end in CR LF, but a bare LF line closes the header: every byte goes on once.
    {
        Origin origin;
        const std::string request = "GET " + Url(origin.server.Port())
            + " HTTP/1.1\r\nHost: h\nX: y\n\n";
        EXPECT_EQ(Exchange(request), kResponse);
        EXPECT_EQ(origin.Received(), "GET / HTTP/1.1\r\nHost: h\nX: y\r\n\r\n");
    }
    // A bare LF inside the first line: the text after it is kept.
    {
        Origin origin;
        const std::string request = "GET " + Url(origin.server.Port())
            + " HTTP/1.1\nX-A: 1\r\nX-B: 2\r\n\r\n";
        EXPECT_EQ(Exchange(request), kResponse);
        EXPECT_EQ(origin.Received(), "GET / HTTP/1.1\r\nX-A: 1\r\nX-B: 2\r\n\r\n");
    }
    // CR LF LF: normalised to CR LF CR LF.
    {
        Origin origin;
        EXPECT_EQ(Exchange("GET " + Url(origin.server.Port()) + " HTTP/1.0\r\nA: b\r\n\n"),
                  kResponse);
        EXPECT_EQ(origin.Received(), "GET / HTTP/1.0\r\nA: b\r\n\r\n");
    }
}

TEST_F(ProxyRelayTest, HeaderAndBodyInOneWriteReachTheServerInOrder)
{
    std::string got;
    std::atomic<bool> done{false};
    LoopbackServer origin([&](BlockingStream& s) {
        got = s.ReadUntil("\r\n\r\nZ");
        done = true;
        s.Write(kResponse);
    });
    const std::string request = "POST " + Url(origin.Port(), "/p")
        + " HTTP/1.1\r\nContent-Length: 1\r\n\r\nZ";
    EXPECT_EQ(Exchange(request), kResponse);
    EXPECT_EQ(got, "POST /p HTTP/1.1\r\nContent-Length: 1\r\n\r\nZ");
    ASSERT_TRUE(AllClosed());
    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_EQ(Records(*Entries()[0]), "0/1/39 0/2/1 1/1/" + std::to_string(kResponse.size()));
}

TEST_F(ProxyRelayTest, SecondRequestToTheSameServerReusesItsConnection)
{
    std::string second;
    std::atomic<int> connections{0};
    LoopbackServer origin([&](BlockingStream& s) {
        ++connections;
        ReadHeader(s);
        s.Write("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none");
        second = ReadHeader(s);
        s.Write("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\ntwo");
    });
    const std::string secondRequest = "GET " + Url(origin.Port(), "/second") + " HTTP/1.1\r\n\r\n";
    std::string first, rest;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write("GET " + Url(origin.Port(), "/first") + " HTTP/1.1\r\n\r\n");
        first = browser.ReadUntil("one");
        browser.Write(secondRequest);
        rest = browser.ReadToEnd();
    }));
    EXPECT_EQ(first, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none");
    EXPECT_EQ(second, "GET /second HTTP/1.1\r\n\r\n");
    EXPECT_EQ(rest, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\ntwo");
    EXPECT_EQ(connections, 1);
}

TEST_F(ProxyRelayTest, ResponseHeaderEndIsNormalised)
{
    Origin origin("HTTP/1.0 200 OK\r\nA: b\r\n\nbody\n\nmore");
    EXPECT_EQ(Exchange("GET " + Url(origin.server.Port()) + " HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 200 OK\r\nA: b\r\n\r\nbody\n\nmore");
    ASSERT_TRUE(AllClosed());
    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_EQ(Records(*Entries()[0]), "0/1/18 1/1/35");
}

TEST_F(ProxyRelayTest, ResponseWithoutHeaderArrivesWholeAtClose)
{
    const std::string bytes("no header at all\r\n\0binary", 26);
    Origin origin(bytes);
    EXPECT_EQ(Exchange("GET " + Url(origin.server.Port()) + " HTTP/1.0\r\n\r\n"), bytes);
    ASSERT_TRUE(AllClosed());
    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_EQ(Records(*Entries()[0]), "0/1/18 1/1/26");
}

TEST_F(ProxyRelayTest, EndlessResponseHeaderIsPassedOnAsItComes)
{
    const std::string bytes(3u << 20, 'h'); // no line end at all
    std::atomic<bool> received{false};
    LoopbackServer origin([&](BlockingStream& s) {
        ReadHeader(s);
        s.Write(bytes);
        for (int i = 0; i < 500 && !received; ++i) // the server stays until the browser has all
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    std::string got;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write("GET " + Url(origin.Port()) + " HTTP/1.0\r\n\r\n");
        got = browser.ReadExactly(bytes.size(), 4000);
        received = true;
    }));
    EXPECT_EQ(got.size(), bytes.size());
    EXPECT_TRUE(got == bytes);
}

TEST_F(ProxyRelayTest, HalfClosedBrowserStillGetsTheAnswer)
{
    std::string got;
    LoopbackServer origin([&](BlockingStream& s) {
        got = ReadHeader(s);
        s.ReadToEnd(3000); // the browser's end is passed on
        s.Write(kResponse);
    });
    std::string reply;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write("GET " + Url(origin.Port()) + " HTTP/1.0\r\n\r\n");
        browser.ShutdownWrite();
        reply = browser.ReadToEnd();
    }));
    EXPECT_EQ(got, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply, kResponse);
}

TEST_F(ProxyRelayTest, BrowserClosingBeforeItsHeaderLeavesNoTrace)
{
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write("GET http://127.0.0.1:1/ HTTP/1.0\r\nHost: x\r\n");
    }));
    ASSERT_TRUE(AllClosed());
    EXPECT_TRUE(Entries().empty());
}

TEST_F(ProxyRelayTest, EndOfTheRunClosesConnectionsStillOpen)
{
    std::atomic<bool> answered{false};
    LoopbackServer origin([&](BlockingStream& s) {
        ReadHeader(s);
        s.Write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        answered = true;
        s.ReadToEnd(5000); // a persistent connection, closed by the proxy's end
    });
    BlockingStream browser;
    ASSERT_TRUE(browser.Connect(m_nPort));
    browser.Write("GET " + Url(origin.Port()) + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(
        RunUntil([&] { return answered.load() && m_pApp->Connections().LiveCount() == 1; }));
    RunFor(50);
    m_pApp->ExitInstance();
    EXPECT_EQ(m_pApp->Connections().LiveCount(), 0u);
    bool closed = false;
    EXPECT_EQ(browser.ReadToEnd(3000, &closed), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_TRUE(closed);
}

TEST_F(ProxyRelayTest, ServerResetStillDeliversWhatCameBefore)
{
    LoopbackServer origin([&](BlockingStream& s) {
        ReadHeader(s);
        s.Write("HTTP/1.0 200 OK\r\n\r\npartial");
        // Give the proxy the bytes before the reset wipes the server's side.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        s.SetResetOnClose();
        s.Close();
    });
    EXPECT_EQ(Exchange("GET " + Url(origin.Port()) + " HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 200 OK\r\n\r\npartial");
    EXPECT_TRUE(AllClosed());
}

} // namespace
