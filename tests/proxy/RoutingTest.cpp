#include "ProxyFixture.h"

#include "proxy/Proxy.h"
#include "support/EventLoopWait.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"

#include <cstdio>
#include <mutex>
#include <vector>

namespace {

// An HTTP/1.1 origin that keeps its connections open and answers each request with its name
// and the request's path, framed as the path asks. It keeps every request it got.
struct Origin {
    explicit Origin(std::string n)
        : name(std::move(n))
        , server([this](BlockingStream& s) { Serve(s); })
    {
    }

    std::string Text(const std::string& path) const { return name + path; }

    std::string Answer(const std::string& method, const std::string& path) const
    {
        if (path == "/204")
            return "HTTP/1.1 204 No Content\r\n\r\n";
        if (path == "/304")
            return "HTTP/1.1 304 Not Modified\r\nContent-Length: 7\r\n\r\n";
        if (path == "/upgrade")
            return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: echo\r\n\r\n";
        if (path == "/close") // close-delimited, its header ending in bare LFs
            return "HTTP/1.0 200 OK\nA: b\n\n" + Text(path);
        if (path == "/chunked")
            return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::to_string(Text(path).size())
                + "\r\n" + Text(path) + "\r\n0\r\n\r\n";
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(Text(path).size()) + "\r\n\r\n"
            + (method == "HEAD" ? "" : Text(path));
    }

    void Serve(BlockingStream& s)
    {
        std::string in;
        const auto fill = [&](const std::string& needle) {
            for (int i = 0; i < 200 && in.find(needle) == std::string::npos; ++i) {
                bool ended = false;
                in += s.ReadSome(65536, 100, &ended);
                if (ended)
                    return false;
            }
            return in.find(needle) != std::string::npos;
        };
        while (fill("\r\n\r\n")) {
            std::string request = in.substr(0, in.find("\r\n\r\n") + 4);
            in.erase(0, request.size());
            if (request.find("Expect: 100-continue") != std::string::npos)
                s.Write("HTTP/1.1 100 Continue\r\n\r\n");
            const std::size_t length = request.find("Content-Length: ");
            if (length != std::string::npos) {
                const std::size_t n = std::stoul(request.substr(length + 16));
                for (int i = 0; i < 50 && in.size() < n; ++i)
                    in += s.ReadSome(n - in.size(), 100);
                request += in.substr(0, n);
                in.erase(0, n);
            } else if (request.find("Encoding: chunked") != std::string::npos && fill("\r\n0\r\n")
                       && fill("\r\n\r\n")) { // the last chunk, then trailers up to a blank line
                const std::size_t end = in.find("\r\n\r\n", in.find("\r\n0\r\n") + 3) + 4;
                request += in.substr(0, end);
                in.erase(0, end);
            }
            {
                std::lock_guard<std::mutex> hold(lock);
                received += request;
            }
            const std::string method = request.substr(0, request.find(' '));
            const std::string path = request.substr(method.size() + 1,
                                                    request.find(' ', method.size() + 1) - method.size() - 1);
            s.Write(Answer(method, path));
            if (path == "/upgrade")
                s.Write("pong:" + s.ReadExactly(4));
            if (path == "/close" || path == "/upgrade")
                return;
        }
    }

    std::string Received()
    {
        std::lock_guard<std::mutex> hold(lock);
        return received;
    }

    const std::string name;
    std::mutex lock;
    std::string received;
    LoopbackServer server;
};

class RoutingTest : public ProxyFixture {
protected:
    std::string Get(Origin& o, const std::string& path, const std::string& method = "GET")
    {
        return method + " " + Url(o.server.Port(), path) + " HTTP/1.1\r\nHost: x\r\n\r\n";
    }
    int HeaderRecords(ETraceDirection direction) const
    {
        int count = 0;
        for (const auto& entry : Entries())
            for (const auto& record : entry->GetRecords())
                count += record->GetDirection() == direction && record->GetPart() == ETracePart::Header;
        return count;
    }
    Origin a{"A"}, b{"B"}, c{"C"};
};

TEST_F(RoutingTest, EachRequestReachesItsServerAndAnswersComeInRequestOrder)
{
    const std::string pipelined = Get(a, "/1") + Get(b, "/2")
        + "POST " + Url(a.server.Port(), "/3") + " HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyz"
        + "POST " + Url(c.server.Port(), "/4")
        + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5;x=y\r\nhello\r\n0\r\nT: 1\r\n\r\n"
        + "GET http://u:pw@127.0.0.1:" + std::to_string(a.server.Port()) + "/5 HTTP/1.1\r\n\r\n"
        + Get(b, "/6", "HEAD") + Get(c, "/204") + Get(a, "/304") + Get(a, "/chunked");
    const std::string expected = a.Answer("GET", "/1") + b.Answer("GET", "/2")
        + a.Answer("POST", "/3") + c.Answer("POST", "/4") + a.Answer("GET", "/5")
        + b.Answer("HEAD", "/6") + c.Answer("GET", "/204") + a.Answer("GET", "/304")
        + a.Answer("GET", "/chunked");
    std::string got, second, last;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write(pipelined);
        got = browser.ReadExactly(expected.size());
        browser.Write(Get(b, "/7")); // then one at a time
        second = browser.ReadExactly(b.Answer("GET", "/7").size());
        browser.Write(Get(c, "/close"));
        last = browser.ReadToEnd();
    }, 20000));
    EXPECT_EQ(got, expected);
    EXPECT_EQ(second, b.Answer("GET", "/7"));
    EXPECT_EQ(last, c.Answer("GET", "/close")) << "a bare-LF header passes unchanged";

    // Each server got its requests with the path form (connections may be served in any order).
    const auto expectReceived = [](Origin& o, const std::vector<std::string>& requests) {
        std::size_t total = 0;
        for (const std::string& request : requests) {
            EXPECT_NE(o.Received().find(request), std::string::npos) << o.name << request;
            total += request.size();
        }
        EXPECT_EQ(o.Received().size(), total) << o.name;
    };
    expectReceived(a, {"GET /1 HTTP/1.1\r\nHost: x\r\n\r\n", "POST /3 HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyz",
                       "GET /5 HTTP/1.1\r\n\r\n", "GET /304 HTTP/1.1\r\nHost: x\r\n\r\n",
                       "GET /chunked HTTP/1.1\r\nHost: x\r\n\r\n"});
    expectReceived(b, {"GET /2 HTTP/1.1\r\nHost: x\r\n\r\n", "HEAD /6 HTTP/1.1\r\nHost: x\r\n\r\n",
                       "GET /7 HTTP/1.1\r\nHost: x\r\n\r\n"});
    expectReceived(c, {"POST /4 HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5;x=y\r\nhello\r\n0\r\nT: 1\r\n\r\n",
                       "GET /204 HTTP/1.1\r\nHost: x\r\n\r\n", "GET /close HTTP/1.1\r\nHost: x\r\n\r\n"});

    // A new server connection (and entry) whenever the server changes; /chunked reuses /304's.
    ASSERT_TRUE(AllClosed());
    EXPECT_EQ(Entries().size(), 10u);
    EXPECT_EQ(HeaderRecords(ETraceDirection::Received), 11) << "every status line is a header record";
    for (const auto& entry : Entries())
        EXPECT_FALSE(entry->IsOpen());
}

TEST_F(RoutingTest, ManyPipelinedRequestsAcrossServersAllComeBackInOrder)
{
    // More than the proxy lets wait at once: the rest wait with the browser, none is lost.
    std::string request, expected;
    for (int i = 0; i < 150; ++i) {
        Origin& o = i % 3 == 0 ? a : b;
        request += Get(o, "/" + std::to_string(i));
        expected += o.Answer("GET", "/" + std::to_string(i));
    }
    std::string got;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write(request);
        got = browser.ReadExactly(expected.size(), 20000);
    }, 30000));
    EXPECT_EQ(got, expected);
}

TEST_F(RoutingTest, ContinueAndUpgradePassThrough)
{
    std::string interim, final, upgraded;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write("POST " + Url(a.server.Port(), "/c")
                      + " HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n");
        interim = browser.ReadUntil("\r\n\r\n");
        browser.Write("data" + Get(a, "/upgrade"));
        final = browser.ReadUntil("echo\r\n\r\n");
        browser.Write("ping");
        upgraded = browser.ReadToEnd();
    }));
    EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
    EXPECT_EQ(final, a.Answer("POST", "/c") + a.Answer("GET", "/upgrade"));
    EXPECT_EQ(upgraded, "pong:ping");
}

TEST_F(RoutingTest, ConnectAfterOtherRequestsBecomesTheTunnelOnceTheyAreAnswered)
{
    LoopbackServer echo([](BlockingStream& s) { s.Write("pong:" + s.ReadExactly(4)); });
    const std::string connect = "CONNECT 127.0.0.1:" + std::to_string(echo.Port()) + " HTTP/1.1\r\n\r\n";
    EXPECT_EQ(Exchange(Get(a, "/x") + Get(b, "/y") + connect + "ping"),
              a.Answer("GET", "/x") + b.Answer("GET", "/y") + CProxy::kTunnelReply + "pong:ping");
    ASSERT_TRUE(AllClosed());
    EXPECT_TRUE(Entries().back()->IsSSL());
}

TEST_F(RoutingTest, RequestsAServerLeftUnansweredGoAgainOnANewConnection)
{
    // Each connection answers one request, as keep-alive, and closes: the requests the browser
    // already sent behind it are not lost.
    LoopbackServer once([](BlockingStream& s) {
        const std::string header = ReadHeader(s);
        const std::string path = header.substr(4, header.find(' ', 4) - 4);
        s.Write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(path.size()) + "\r\n\r\n" + path);
    });
    std::string request, expected;
    for (const std::string path : {"/one", "/two", "/three"}) {
        request += "GET " + Url(once.Port(), path) + " HTTP/1.1\r\n\r\n";
        expected += "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(path.size()) + "\r\n\r\n" + path;
    }
    std::string got;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write(request);
        got = browser.ReadExactly(expected.size());
    }));
    EXPECT_EQ(got, expected);
    EXPECT_EQ(once.Accepted(), 3);
}

TEST_F(RoutingTest, UntrustedFramingGetsTheBadHeaderReplyAfterEarlierAnswers)
{
    const std::string post = "POST " + Url(b.server.Port(), "/bad") + " HTTP/1.1\r\n";
    for (const std::string& bad : {post + "Content-Length: 1x\r\n\r\n",
                                  post + "Content-Length: 2\r\nContent-Length: 3\r\n\r\n",
                                  post + "Transfer-Encoding: chunked, gzip\r\n\r\n",
                                  post + "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n",
                                  post + "Content-Length : 3\r\n\r\n",
                                  post + "Content-Length: ,\r\nTransfer-Encoding: chunked\r\n\r\n",
                                  post + "Transfer-Encoding: chunked\r\n\r\nzz\r\n",
                                  // Field lines that servers read differently.
                                  post + "X: a\rContent-Length: 3\r\n\r\n", post + "X: a\r\n b\r\n\r\n",
                                  post + " X: a\r\n\r\n", post + "X\x01: a\r\n\r\n", post + "X : a\r\n\r\n",
                                  post.substr(0, post.size() - 3) + "0\r\nTransfer-Encoding: chunked\r\n\r\n"}) {
        SCOPED_TRACE(bad);
        const std::string before = c.Received();
        EXPECT_EQ(Exchange(Get(a, "/first") + bad + "abc" + Get(c, "/after")),
                  a.Answer("GET", "/first") + CProxy::kBadHeaderReply);
        EXPECT_EQ(c.Received(), before) << "nothing after the bad point is forwarded";
        EXPECT_EQ(b.Received().find("abc"), std::string::npos);
    }
}

TEST_F(RoutingTest, CurlFetchesFromThreeServersOnOneConnection)
{
    std::string command = "curl -s --max-time 20 -x http://127.0.0.1:" + std::to_string(m_nPort);
    std::string expected;
    for (Origin* o : {&a, &b, &c, &a, &c, &b}) {
        command += " " + Url(o->server.Port(), "/f" + std::to_string(expected.size()));
        expected += o->Text("/f" + std::to_string(expected.size()));
    }
    std::string got;
    EXPECT_TRUE(RunClient([&] {
        FILE* curl = ::popen(command.c_str(), "r");
        ASSERT_NE(curl, nullptr);
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, curl)) > 0;)
            got.append(buffer, n);
        ::pclose(curl);
    }, 30000));
    EXPECT_EQ(got, expected);
    ASSERT_TRUE(AllClosed());
    EXPECT_EQ(Entries().size(), 6u);
}

} // namespace
