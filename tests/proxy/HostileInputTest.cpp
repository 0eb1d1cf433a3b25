// Requests a browser (or anyone on the network) may send on purpose to break the proxy.
#include "ProxyFixture.h"

#include "proxy/ConnectionWatchdog.h"
#include "proxy/Proxy.h"
#include "support/EventLoopWait.h"
#include "trace/LogSaver.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>

#include <future>
#include <mutex>

namespace {

using namespace std::string_literals;

const std::string k400 = CProxy::kBadHeaderReply;
const std::string k404 = CProxy::kConnectErrorReply;
const std::string kAnswer = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";

// An origin that keeps every request header it gets and answers with kAnswer, or with
// `answer` when one is given.
struct KeepingOrigin {
    explicit KeepingOrigin(std::string answer = kAnswer)
        : server([this, answer](BlockingStream& s) {
            const std::string header = s.ReadUntil("\r\n\r\n", 10000);
            {
                std::lock_guard<std::mutex> hold(lock);
                headers.push_back(header);
            }
            s.Write(answer);
        })
    {
    }
    std::vector<std::string> Headers()
    {
        std::lock_guard<std::mutex> hold(lock);
        return headers;
    }
    std::mutex lock;
    std::vector<std::string> headers;
    LoopbackServer server;
};

class HostileInputTest : public ProxyFixture {
protected:
    // The text of the log that Save and Clear writes for what is in the store now.
    std::string SavedLog()
    {
        const std::string name = m_ConfigDir.filePath("hostile.log").toStdString();
        SaveAndClear(*m_pApp->m_pTraceStore, name, [this] { m_pApp->ClearAllData(); });
        QFile file(QString::fromStdString(name));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        const QByteArray bytes = file.readAll();
        return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
};

TEST_F(HostileInputTest, FormatDirectivesAppearVerbatimInTracesSummariesAndLog)
{
    const std::string directives = "%n%s%x%p%d%%%99999999s%.*s%ls";
    KeepingOrigin origin("HTTP/1.0 200 " + directives + "\r\nX-Echo: %n%n%s\r\n\r\n%s%n");
    m_pApp->m_bDebugTrace = 1;
    const std::string request = "GET " + Url(origin.server.Port(), "/" + directives)
                                + " HTTP/1.0\r\nX-Fmt: %n%s%n\r\n\r\n";
    EXPECT_EQ(Exchange(request),
              "HTTP/1.0 200 " + directives + "\r\nX-Echo: %n%n%s\r\n\r\n%s%n");
    ASSERT_EQ(origin.Headers().size(), 1u);
    EXPECT_EQ(origin.Headers()[0], "GET /" + directives + " HTTP/1.0\r\nX-Fmt: %n%s%n\r\n\r\n");

    const std::string debug = m_pApp->m_pTraceStore->TakeDebugText();
    EXPECT_NE(debug.find("CProxy::Parse Request - 300 bytes\r\n" + request.substr(0, request.find('\n') + 1)),
              std::string::npos)
        << debug;

    ASSERT_TRUE(AllClosed());
    ASSERT_EQ(Entries().size(), 1u);
    const auto& records = Entries()[0]->GetRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]->GetSummary(), "GET /" + directives + " HTTP/1.0");
    EXPECT_EQ(records[1]->GetSummary(), "HTTP/1.0 200 " + directives);

    const std::string log = SavedLog();
    EXPECT_NE(log.find("\"GET /" + directives + " HTTP/1.0\"\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\"HTTP/1.0 200 " + directives + "\"\r\n"), std::string::npos) << log;
    EXPECT_EQ(m_Messages, std::vector<std::string>{"Kestrune written and cleared."});
}

TEST_F(HostileInputTest, NulAndHighBytesReachTheServerAndBackUnchanged)
{
    std::string high;
    for (int c = 128; c < 256; ++c)
        high += static_cast<char>(c);
    const std::string answer = "HTTP/1.0 200 \0\xff\r\nX-Bin: \0\x80"s + high + "\r\n\r\n\0body\xfe\0"s;
    KeepingOrigin origin(answer);
    const std::string path = "/a\0b\xc3\xa9\xff"s;
    const std::string rest = "X-Bin: \0\x01\x7f"s + high + "\r\nHost: \0\r\n\r\n"s;
    EXPECT_EQ(Exchange("GET " + Url(origin.server.Port(), path) + " HTTP/1.0\r\n" + rest), answer);
    ASSERT_EQ(origin.Headers().size(), 1u);
    EXPECT_EQ(origin.Headers()[0], "GET " + path + " HTTP/1.0\r\n" + rest);

    ASSERT_TRUE(AllClosed());
    ASSERT_EQ(Entries().size(), 1u);
    const std::string sent = "GET " + path + " HTTP/1.0\r\n" + rest;
    EXPECT_EQ(Records(*Entries()[0]), "0/1/" + std::to_string(sent.size()) + " 1/1/"
                                          + std::to_string(answer.size()));
    // The texts made from such records are still one line each in the log.
    const std::string log = SavedLog();
    std::size_t rows = 0;
    for (std::size_t at = 0; (at = log.find("\r\n", at)) != std::string::npos; at += 2)
        ++rows;
    EXPECT_EQ(rows, 3u) << "the header line and two rows";
}

TEST_F(HostileInputTest, HugeHeadersAreRelayedWholeUpToTheLimitAndRefusedBeyond)
{
    KeepingOrigin origin;
    const std::string start = "GET " + Url(origin.server.Port(), "/big") + " HTTP/1.0\r\n";
    // One header line of almost 64 KiB, the longest header taken.
    const std::size_t limit = CConnectionWatchdog::kMaxHeaderBytes;
    const std::string longLine = "X-Long: " + std::string(limit - start.size() - 64, 'L') + "\r\n\r\n";
    EXPECT_EQ(Exchange(start + longLine, 20000), kAnswer);
    // 16,000 header lines.
    std::string manyLines;
    for (int i = 0; i < 16000; ++i)
        manyLines += "A:\r\n";
    manyLines += "\r\n";
    EXPECT_EQ(Exchange(start + manyLines, 20000), kAnswer);
    const std::vector<std::string> headers = origin.Headers();
    ASSERT_EQ(headers.size(), 2u);
    EXPECT_EQ(headers[0], "GET /big HTTP/1.0\r\n" + longLine);
    EXPECT_EQ(headers[1], "GET /big HTTP/1.0\r\n" + manyLines);

    // A header line far beyond the limit is refused (or, while the browser is still sending,
    // reset) without being held whole, and the proxy serves on.
    const std::string tooLong = "X-Long: " + std::string(2 * limit, 'L') + "\r\n\r\n";
    const std::string refused = Exchange(start + tooLong, 20000);
    EXPECT_EQ(k400.compare(0, refused.size(), refused), 0) << refused.substr(0, 200);
    EXPECT_EQ(Exchange(start + "\r\n"), kAnswer);
    ASSERT_TRUE(AllClosed());
    EXPECT_EQ(Entries().size(), 3u) << "the refused header is not traced";
}

TEST_F(HostileInputTest, AbsurdPortsGet404AndNeverWrapToAnotherPort)
{
    KeepingOrigin origin;
    const int port = origin.server.Port();
    for (const std::string& text : {"99999999"s, "-1"s, "0"s, std::to_string(port + 65536),
                                    std::to_string(port + 65536ll * 65536), "4294967296"s,
                                    "99999999999999999999999"s, "abc"s, "+"s}) {
        EXPECT_EQ(Exchange("GET http://127.0.0.1:" + text + "/ HTTP/1.0\r\n\r\n"), k404) << text;
        EXPECT_EQ(Exchange("CONNECT 127.0.0.1:" + text + " HTTP/1.0\r\n\r\n"),
                  std::string(CProxy::kTunnelReply) + k404)
            << text;
    }
    EXPECT_TRUE(origin.Headers().empty()) << "no port reached the origin by wrapping";

    // A port is digits only: digits followed by other text are no port; a leading zero is.
    EXPECT_EQ(Exchange("GET http://127.0.0.1:" + std::to_string(port) + "abc/ HTTP/1.0\r\n\r\n"),
              k404);
    EXPECT_EQ(Exchange("GET http://127.0.0.1:0" + std::to_string(port) + "/ HTTP/1.0\r\n\r\n"),
              kAnswer);
    EXPECT_EQ(origin.Headers().size(), 1u);
}

// A listener on the IPv6 loopback, or -1 when the machine has none.
TEST_F(HostileInputTest, BracketedIpv6LiteralsReachTheAddressWrittenAndNothingElse)
{
    KeepingOrigin v4; // on 127.0.0.1: what a misread "[::1]" or "1" must never reach
    LoopbackServer v6([](BlockingStream& s) {
        if (s.ReadUntil("\r\n\r\n", 10000).empty())
            return;
        s.Write(kAnswer);
    }, true);
    if (v6.Port() == 0)
        GTEST_SKIP() << "no IPv6 on loopback";
    const std::string p = std::to_string(v6.Port());
    EXPECT_EQ(Exchange("GET http://[::1]:" + p + "/ HTTP/1.0\r\n\r\n"), kAnswer);
    EXPECT_EQ(Exchange("CONNECT [::1]:" + p + " HTTP/1.0\r\n\r\nGET / HTTP/1.0\r\n\r\n"),
              std::string(CProxy::kTunnelReply) + kAnswer);
    const std::string q = std::to_string(v4.server.Port());
    for (const std::string& authority : {"[::1]:" + p + ":" + p, "[::1]:" + p + "]", "[::1:" + p, "[::1]x:" + p,
                                         "::1:" + p, "[::1%lo]:" + p, "1:" + q, "127.1:" + q,
                                         "0x7f000001:" + q, "0177.0.0.1:" + q})
        EXPECT_EQ(Exchange("GET http://" + authority + "/ HTTP/1.0\r\n\r\n"), k404) << authority;
    EXPECT_EQ(v6.Accepted(), 2);
    EXPECT_EQ(v4.server.Accepted(), 0);
    ASSERT_TRUE(AllClosed());
}

// The authority ends at the first "/", "?" or "#"; nothing after it names the host.
TEST_F(HostileInputTest, AuthoritiesThatSeemToNameAnotherHostGet404)
{
    KeepingOrigin origin; // on 127.0.0.1
    const std::string p = std::to_string(origin.server.Port()), other = "127.0.0.3:" + std::to_string(ClosedPort());
    for (const std::string& url : {"http://" + other + "?@127.0.0.1:" + p, "http://" + other + "#@127.0.0.1:" + p,
                                   "https://" + other + "\\@127.0.0.1:" + p, "http://" + other + "@x@127.0.0.1:" + p,
                                   "http://127.0.0.1:" + p + "]"})
        EXPECT_EQ(Exchange("GET " + url + "/ HTTP/1.1\r\nHost: x\r\n\r\n"), k404) << url;
    EXPECT_EQ(origin.server.Accepted(), 0);
    EXPECT_EQ(Exchange("GET http://127.0.0.1.:" + p + "/ HTTP/1.1\r\n\r\n"), kAnswer); // a valid last dot
    ASSERT_TRUE(AllClosed());
}

TEST_F(HostileInputTest, EmptyHostsAndAuthorities)
{
    KeepingOrigin origin;
    // An empty Host: line is not looked at; the request goes where its URL says.
    const std::string withEmptyHost = "GET " + Url(origin.server.Port()) + " HTTP/1.1\r\nHost:\r\nHost: \r\n\r\n";
    EXPECT_EQ(Exchange(withEmptyHost), kAnswer);
    ASSERT_EQ(origin.Headers().size(), 1u);
    EXPECT_EQ(origin.Headers()[0], "GET / HTTP/1.1\r\nHost:\r\nHost: \r\n\r\n");

    for (const std::string& url : {"http:///"s, "http://:/"s, "http://:::/"s, "https:///x"s, "http://"s})
        EXPECT_EQ(Exchange("GET " + url + " HTTP/1.0\r\nHost: \r\n\r\n"), k404) << url;
    EXPECT_EQ(Exchange("CONNECT : HTTP/1.0\r\n\r\n"), std::string(CProxy::kTunnelReply) + k404);
    // A blank first line is still a line (without a host); only a header with no CR LF line
    // at all is refused as invalid.
    EXPECT_EQ(Exchange("\r\n\r\n"), k404);
    EXPECT_EQ(Exchange(" \r\n\r\n"), k404);
    EXPECT_EQ(Exchange("\n\r\n"), std::string(CProxy::kBadHeaderReply));
    EXPECT_EQ(origin.Headers().size(), 1u);
    ASSERT_TRUE(AllClosed());
}

// A chunked body in two parts, the second sent once the origin holds what of the first is known
// good: nothing of a bad chunk or trailer line may reach it, and a good line cut in two arrives.
TEST_F(HostileInputTest, ChunkLinesReachTheOriginOnlyOnceKnownGood)
{
    const std::string head = "POST /up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", ok = "5\r\nhello\r\n";
    const std::string cases[][3] = { // first part, second part, what of the first is good
        {ok + "10000000", "000000000\r\n", ok}, {ok + "5;" + std::string(5000, 'e'), "", ok},
        {ok + "0\r\nT: " + std::string(5000, 'e'), "", ok + "0\r\n"}, {ok + "3\r\nabc\r", "x", ok + "3\r\nabc"},
        {ok + "0\r\nT:", " 1\r\n\r\n", ok + "0\r\n"}}; // the last one good
    for (const auto& [first, second, good] : cases) {
        const bool refused = second.find("\r\n\r\n") == std::string::npos; // the good one ends the body
        std::promise<void> goodArrived, originDone;
        std::string got, reply; // at the origin, at the browser
        LoopbackServer origin([&](BlockingStream& s) {
            got = s.ReadUntil(head + good, 10000);
            goodArrived.set_value();
            got += refused ? s.ReadToEnd(10000) : s.ReadUntil(second, 10000);
            s.Write(kAnswer);
            originDone.set_value();
        });
        EXPECT_TRUE(RunClient([&] {
            BlockingStream browser;
            ASSERT_TRUE(browser.Connect(m_nPort));
            browser.Write("POST " + Url(origin.Port(), "/up") + head.substr(8) + first);
            ASSERT_EQ(goodArrived.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
            browser.Write(second);
            reply = refused ? browser.ReadToEnd(10000) : browser.ReadExactly(kAnswer.size(), 10000);
        }, 15000));
        EXPECT_EQ(reply, refused ? k400 : kAnswer) << first;
        ASSERT_EQ(originDone.get_future().wait_for(std::chrono::seconds(15)), std::future_status::ready);
        const std::string expected = head + (refused ? good : first + second); // or none of it
        EXPECT_EQ(got, expected.substr(0, refused && second.empty() ? got.size() : expected.size())) << first;
    }
    EXPECT_TRUE(AllClosed());
}

} // namespace
