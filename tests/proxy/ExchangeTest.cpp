#include "ProxyFixture.h"

#include "support/EventLoopWait.h"
#include "trace/Exchange.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

#include <atomic>

namespace {

class ExchangeTest : public ProxyFixture {
protected:
    std::vector<const CExchange*> Exchanges() const
    {
        std::vector<const CExchange*> all;
        for (const auto& exchange : m_pApp->m_pTraceStore->GetExchanges())
            all.push_back(exchange.get());
        return all;
    }
};

// An origin that reads one request head and writes the given bytes, then waits for the close.
LoopbackServer Answering(const std::string& bytes)
{
    return LoopbackServer([bytes](BlockingStream& s) {
        ReadHeader(s);
        s.Write(bytes);
        s.ReadToEnd(3000);
    });
}

} // namespace

TEST_F(ExchangeTest, RequestsAreExchangesFilledAsTheyWereRouted)
{
    const std::string answer = "HTTP/1.1 200 Fine\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
    struct Case {
        const char* name;
        bool upstream;
        std::string body;
    };
    for (const Case& c : {Case{"plain", false, "abc"}, Case{"upstream", true, ""}}) {
        LoopbackServer server = Answering(answer);
        const std::string port = std::to_string(server.Port());
        m_pApp->ApplySettings("localhost", "0", c.upstream ? "127.0.0.1" : "", c.upstream ? port : "");
        // Routed by the request line: the Host field names another host.
        // The origin by name: its lookup is timed; the upstream by address: it is not.
        const std::string target = c.upstream ? "http://origin.invalid:81/p?q"
                                              : "http://localhost:" + port + "/p?q";
        const std::string request = "POST " + target + " HTTP/1.1\r\nHost: elsewhere.invalid\r\n"
            + "Content-Length: " + std::to_string(c.body.size()) + "\r\n\r\n" + c.body;
        EXPECT_EQ(Exchange(request), answer) << c.name;
        ASSERT_TRUE(AllClosed()) << c.name;
        ASSERT_EQ(Exchanges().size(), 1u) << c.name;
        const CExchange& e = *Exchanges()[0];
        EXPECT_EQ(e.Url(), c.upstream ? "http://origin.invalid:81/p?q" : target) << c.name;
        EXPECT_EQ(e.Has(kExchangeViaUpstream), c.upstream) << c.name;
        EXPECT_FALSE(e.Has(kExchangeDecrypted) || e.Has(kExchangeTunnel)) << c.name;
        EXPECT_EQ(e.m_strMethod + " " + e.m_strTarget + " " + e.m_strVersion, "POST " + target + " HTTP/1.1");
        EXPECT_EQ(e.m_strRequestHead, request.substr(0, request.size() - c.body.size())) << c.name;
        // The origin gets the path form; the upstream the head as it came.
        EXPECT_EQ(e.m_strForwardedHead.empty(), c.upstream) << c.name;
        EXPECT_EQ(e.m_RequestBody.bytes, c.body) << c.name;
        EXPECT_EQ(e.m_nStatus, 200);
        EXPECT_EQ(e.m_strReason, "Fine");
        EXPECT_EQ(e.m_strResponseHead + e.m_ResponseBody.bytes, answer) << c.name;
        EXPECT_EQ(e.m_nEnd, EExchangeEnd::Complete) << c.name;
        EXPECT_GT(e.m_nBrowserConnection, 0);
        ASSERT_EQ(Entries().size(), 1u);
        EXPECT_EQ(e.m_nServerConnection, Entries()[0]->GetId());
        const SExchangeTimes& t = e.m_Times;
        EXPECT_TRUE(t.started > 0 && t.started <= t.connected && t.connected <= t.requestSent
                    && t.requestSent <= t.firstByte && t.firstByte <= t.ended)
            << c.name;
        EXPECT_TRUE(c.upstream ? t.resolved == 0 : t.started <= t.resolved && t.resolved <= t.connected)
            << c.name;
        for (const auto& record : Entries()[0]->GetRecords())
            EXPECT_EQ(record->GetExchangeId(), e.m_nId) << c.name;
        m_pApp->ClearAllData();
    }
}

TEST_F(ExchangeTest, PipelinedAnswersEachStartTheirOwnHeaderRecord)
{
    const std::string one = "HTTP/1.1 200 One\r\nContent-Length: 1\r\n\r\n1";
    const std::string two = "HTTP/1.1 201 Two\r\nContent-Length: 2\r\n\r\n22";
    std::atomic<bool> firstRead{false};
    LoopbackServer server([&](BlockingStream& s) {
        std::string heads;
        for (int i = 0; i < 500 && heads.find("\r\n\r\n") == heads.rfind("\r\n\r\n"); ++i)
            heads += s.ReadSome(4096, 10);
        s.Write(one);
        // The second answer comes in a read of its own, once the first is at the browser.
        for (int i = 0; i < 500 && !firstRead; ++i)
            s.ReadSome(1, 10);
        s.Write(two);
        s.ReadToEnd(3000);
    });
    const std::string get = "GET " + Url(server.Port()) + " HTTP/1.1\r\n\r\n";
    std::string got;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write(get + get);
        got = browser.ReadExactly(one.size());
        firstRead = true;
        got += browser.ReadExactly(two.size());
    }));
    EXPECT_EQ(got, one + two);
    ASSERT_TRUE(AllClosed());
    ASSERT_EQ(Entries().size(), 1u);
    std::vector<std::string> rows;
    std::vector<std::uint64_t> ids;
    for (const auto& record : Entries()[0]->GetRecords()) {
        std::string row;
        ASSERT_TRUE(record->MakeLogRow(false, row));
        rows.push_back(row.substr(row.rfind("\t\"") + 2));
        ids.push_back(record->GetExchangeId());
    }
    const std::string request = "GET / HTTP/1.1\"\r\n";
    EXPECT_EQ(rows, (std::vector<std::string>{request, request, "HTTP/1.1 200 One\"\r\n",
                                              "HTTP/1.1 201 Two\"\r\n"}));
    const std::vector<const CExchange*> exchanges = Exchanges();
    ASSERT_EQ(exchanges.size(), 2u);
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{exchanges[0]->m_nId, exchanges[1]->m_nId,
                                               exchanges[0]->m_nId, exchanges[1]->m_nId}));
    EXPECT_EQ(exchanges[1]->m_nStatus, 201);
}

TEST_F(ExchangeTest, OriginBytesNoRequestAskedForNeverReachTheBrowser)
{
    struct Case {
        const char* name;
        const char* method;
        std::string answer;
        std::string extra;
    };
    const std::string injected = "HTTP/1.1 200 Injected\r\nContent-Length: 8\r\n\r\ninjected";
    const Case cases[] = {
        {"two responses", "GET", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\na", injected},
        {"body after HEAD", "HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n", "body"},
        {"body after 304", "GET", "HTTP/1.1 304 Not Modified\r\nContent-Length: 3\r\n\r\n", injected},
        {"body after 204", "GET", "HTTP/1.1 204 No Content\r\n\r\n", injected},
    };
    const std::string fromB = "HTTP/1.1 200 B\r\nContent-Length: 1\r\n\r\nb";
    for (const Case& c : cases) {
        LoopbackServer a = Answering(c.answer + c.extra);
        LoopbackServer b = Answering(fromB);
        std::string first, second;
        EXPECT_TRUE(RunClient([&] {
            BlockingStream browser;
            ASSERT_TRUE(browser.Connect(m_nPort));
            browser.Write(std::string(c.method) + " " + Url(a.Port()) + " HTTP/1.1\r\n\r\n");
            first = browser.ReadExactly(c.answer.size());
            browser.Write("GET " + Url(b.Port()) + " HTTP/1.1\r\n\r\n");
            second = browser.ReadExactly(fromB.size());
        }));
        EXPECT_EQ(first, c.answer) << c.name;
        EXPECT_EQ(second, fromB) << c.name;
        ASSERT_TRUE(AllClosed()) << c.name;
        ASSERT_GE(Exchanges().size(), 2u) << c.name;
        EXPECT_EQ(Exchanges()[0]->m_nUnexpectedBytes, c.extra.size()) << c.name;
        EXPECT_EQ(Exchanges()[1]->m_nUnexpectedBytes, 0u) << c.name;
        EXPECT_NE(m_pApp->m_pTraceStore->TakeDebugText().find("were not relayed"), std::string::npos)
            << c.name;
        m_pApp->ClearAllData();
    }
}

TEST_F(ExchangeTest, AKeptConnectionsExchangesEachHoldOnlyTheirOwnWhenNoneIsKeptAfterItsEnd)
{
    // With finished exchanges kept nowhere the relay makes later ones of them: nothing of an
    // earlier request or answer may show in a later one (the third is made of the first).
    const std::string answers[] = {"HTTP/1.1 200 One\r\nX-First: 1\r\nContent-Length: 3\r\n\r\nabc",
                                   "HTTP/1.1 204 Two\r\n\r\n", "HTTP/1.1 200 Six\r\nContent-Length: 0\r\n\r\n"};
    LoopbackServer server([&](BlockingStream& s) {
        for (const std::string& answer : answers) {
            ReadHeader(s);
            s.Write(answer);
        }
        s.ReadToEnd(3000);
    });
    std::vector<CExchange> seen;
    m_pApp->m_pTraceStore->SetKeepExchanges(false);
    m_pApp->m_pTraceStore->SetKeepExchangeBodies(true); // as for a HAR
    m_pApp->m_pTraceStore->SetExchangeObserver([&seen](const CExchange& e) { seen.push_back(e); });
    const std::string heads[] = {"GET " + Url(server.Port()) + " HTTP/1.1\r\nX-Asked: 1\r\n\r\n",
                                 "HEAD " + Url(server.Port()) + " HTTP/1.1\r\n\r\n",
                                 "GET " + Url(server.Port()) + " HTTP/1.1\r\n\r\n"};
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        for (int i = 0; i < 3; ++i) {
            browser.Write(heads[i]);
            EXPECT_EQ(browser.ReadExactly(answers[i].size()), answers[i]);
        }
    }));
    ASSERT_TRUE(AllClosed());
    ASSERT_EQ(seen.size(), 3u);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].m_nId, seen[0].m_nId + i);
        EXPECT_EQ(seen[i].m_strRequestHead, heads[i]);
        EXPECT_EQ(seen[i].m_strResponseHead + seen[i].m_ResponseBody.bytes, answers[i]);
        EXPECT_EQ(seen[i].m_ResponseBody.total + seen[i].m_strReason.size(), i == 0 ? 6u : 3u);
    }
}
