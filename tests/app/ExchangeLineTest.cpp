// The --exchanges lines: the same bytes as they have always been written (keys in Qt's order,
// its escapes and numbers), for exchanges that take every optional key or none.
#include "app/ExchangeLine.h"
#include "trace/Exchange.h"

#include <gtest/gtest.h>

static CExchange Finished()
{
    CExchange e;
    e.m_nId = 7;
    e.m_nServerConnection = 4;
    e.m_strHost = "example.test";
    e.m_nPort = 8080;
    e.m_strMethod = "GET";
    e.m_strTarget = "/a b?q=\"x\"";
    e.m_nStatus = 200;
    e.m_strReason = "OK";
    e.m_strResponseHead = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
    e.m_ResponseBody = {"hello", 5};
    e.m_Times = {1765253700123456, 1765253700123956, 1765253700125456, 0, 1765253700125600,
                 1765253700133333, 1765253700200001};
    e.m_nEnd = EExchangeEnd::Complete;
    return e;
}

TEST(ExchangeLine, WritesTheBytesItAlwaysHas)
{
    CExchange plain = Finished();
    CExchange replay = Finished(); // every optional key, text to escape, bytes not UTF-8
    replay.m_bHttps = true;
    replay.m_nPort = 443;
    replay.m_nFlags = kExchangeReplay | kExchangeDecrypted | kExchangeViaUpstream;
    replay.m_nReplayOf = 5;
    replay.m_strMethod = "G\xe9T";
    replay.m_strReason = "Tr\xc3\xa8s \"bien\"\t\\ \x01";
    replay.m_strResponseHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    replay.m_ResponseBody = {"3\r\nabc\r\n4\r\ndefg\r\n0\r\n\r\n", 22};
    replay.m_RequestBody = {"", 12};
    replay.m_nUnexpectedBytes = 9;
    replay.m_nEnd = EExchangeEnd::Truncated;
    replay.m_strEndReason = "the origin closed\n";
    CExchange open; // nothing known yet: no decoded size, times not there

    const struct {
        const CExchange& exchange;
        const char* line;
    } kCases[] = {
        {open,
         R"({"browser_connection":0,"end":"open","ended":"","flags":[],"host":"","id":0,"method":"","port":0,"reason":"","request":{"body_bytes":0,"head_bytes":0},"response":{"body_bytes":0,"head_bytes":0},"scheme":"http","server_connection":0,"started":"","status":0,"timings":{"blocked":-1,"connect":-1,"dns":-1,"receive":0,"send":0,"ssl":-1,"total":0,"wait":0},"url":"http:///"})"},
        {plain,
         R"({"browser_connection":0,"end":"complete","ended":"2025-12-09T04:15:00.200001Z","flags":[],"host":"example.test","id":7,"method":"GET","port":8080,"reason":"OK","request":{"body_bytes":0,"head_bytes":0},"response":{"body_bytes":5,"decoded_bytes":5,"head_bytes":38},"scheme":"http","server_connection":4,"started":"2025-12-09T04:15:00.123456Z","status":200,"timings":{"blocked":-1,"connect":1.5,"dns":0.5,"receive":66.668,"send":0.144,"ssl":-1,"total":76.545,"wait":7.733},"url":"http://example.test:8080/a%20b?q=\"x\""})"},
        {replay,
         R"({"browser_connection":0,"end":"truncated","end_reason":"the origin closed\n","ended":"2025-12-09T04:15:00.200001Z","flags":["decrypted","upstream","replay"],"host":"example.test","id":7,"method":"GéT","port":443,"reason":"Très \"bien\"\t\\ \u0001","replay_of":5,"request":{"body_bytes":12,"head_bytes":0},"response":{"body_bytes":22,"decoded_bytes":7,"head_bytes":47,"unexpected_bytes":9},"scheme":"https","server_connection":4,"started":"2025-12-09T04:15:00.123456Z","status":200,"timings":{"blocked":-1,"connect":1.5,"dns":0.5,"receive":66.668,"send":0.144,"ssl":-1,"total":76.545,"wait":7.733},"url":"https://example.test/a%20b?q=\"x\""})"},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(FormatExchangeLine(c.exchange), std::string(c.line) + "\n");
}
