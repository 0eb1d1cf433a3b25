#include "ProxyFixture.h"

#include "platform/AsyncSocket.h"
#include "proxy/TracedSend.h"
#include "support/EventLoopWait.h"
#include "trace/TraceStore.h"

#include <sstream>

namespace {

using ProxyDebugTraceTest = ProxyFixture;

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// The index of the first line at or after `from` that starts with prefix, or -1.
int Find(const std::vector<std::string>& lines, const std::string& prefix, int from = 0)
{
    for (int i = from; i < static_cast<int>(lines.size()); ++i)
        if (lines[i].rfind(prefix, 0) == 0)
            return i;
    return -1;
}

TEST_F(ProxyDebugTraceTest, LinesFollowTheEventsInOrder)
{
    const std::string response = "HTTP/1.0 200 OK\r\n\r\nbody";
    LoopbackServer origin([&](BlockingStream& s) {
        ReadHeader(s);
        s.Write(response);
    });
    m_pApp->m_bDebugTrace = 1;
    m_pApp->m_strPort = std::to_string(m_nPort);
    ASSERT_TRUE(m_pApp->StartListening()); // the new listener reports itself
    const std::string requestLine = "GET " + Url(origin.Port(), "/x") + " HTTP/1.0";
    EXPECT_EQ(Exchange(requestLine + "\r\n\r\n"), response);
    ASSERT_TRUE(AllClosed());

    const std::vector<std::string> lines = Lines(m_pApp->m_pTraceStore->TakeDebugText());
    int at = 0;
    for (const std::string& prefix :
         {std::string("CListen::CListen"), std::string("CListen::OnAccept - Create New Proxy"),
          std::string("CProxy::CProxy"), std::string("CProxy::OnRecieve ProcessHeader"),
          std::string("CProxy::Parse Request - 300 bytes"), requestLine,
          std::string("CHost::DoRead Sending to socket="),
          std::string("CHost::DoRead CHost Read socket="),
          std::string("CHost::DoRead Sending to socket=")}) {
        const int found = Find(lines, prefix, at);
        ASSERT_GE(found, 0) << "missing after line " << at << ": " << prefix;
        at = found + 1;
    }
    // The response went out in one send of all its bytes.
    const int read = Find(lines, "CHost::DoRead CHost Read socket=");
    EXPECT_NE(lines[read].find(" bytes=" + std::to_string(response.size())), std::string::npos);
    EXPECT_NE(Find(lines, "CHost::DoRead Sending to socket="), -1);
}

TEST_F(ProxyDebugTraceTest, NothingIsTracedWhileOff)
{
    LoopbackServer origin([&](BlockingStream& s) {
        ReadHeader(s);
        s.Write("HTTP/1.0 200 OK\r\n\r\n");
    });
    Exchange("GET " + Url(origin.Port()) + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(m_pApp->m_pTraceStore->TakeDebugText(), "");
}

TEST_F(ProxyDebugTraceTest, FailedSendPrintsAsUnsigned)
{
    m_pApp->m_bDebugTrace = 1;
    CAsyncSocket unconnected;
    ASSERT_TRUE(unconnected.Socket());
    EXPECT_EQ(TracedSend(unconnected, "abc", "send socket=%u total = %u\r\n",
                         m_pApp->m_pTraceStore.get()), -1);
    std::ostringstream expected;
    expected << "send socket=" << unconnected.GetSocketHandle() << " total = 4294967295\r\n";
    EXPECT_EQ(m_pApp->m_pTraceStore->TakeDebugText(), expected.str());
}

} // namespace
