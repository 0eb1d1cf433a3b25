#include "ProxyFixture.h"

#include "platform/AsyncSocket.h"
#include "platform/MessageBox.h"
#include "proxy/Proxy.h"
#include "support/EventLoopWait.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

#include <cstdlib>

void ProxyFixture::SetUp()
{
    ASSERT_TRUE(m_ConfigDir.isValid());
    ::setenv("XDG_CONFIG_HOME", m_ConfigDir.path().toLocal8Bit().constData(), 1);
    SetMessageHandler([this](const std::string& text) { m_Messages.push_back(text); });
    m_pApp = std::make_unique<CTraceApp>();
    ASSERT_TRUE(m_pApp->InitCore());
    m_pApp->m_strPort = "0";
    ASSERT_TRUE(m_pApp->StartListening());
    m_nPort = m_pApp->GetListenPort();
    ASSERT_GT(m_nPort, 0);
}

void ProxyFixture::TearDown()
{
    m_pApp->Connections().DestroyAll();
    m_pApp.reset();
    FlushDeferredDeletes();
    SetMessageHandler(nullptr);
}

std::string ProxyFixture::Exchange(const std::string& request, int timeoutMs)
{
    std::string reply;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        if (!browser.Connect(m_nPort))
            return;
        browser.Write(request);
        reply = browser.ReadToEnd(timeoutMs);
    }, timeoutMs + 2000));
    return reply;
}

bool ProxyFixture::AllClosed(int timeoutMs)
{
    return RunUntil([this] { return m_pApp->Connections().LiveCount() == 0; }, timeoutMs);
}

const std::vector<std::unique_ptr<CTraceConnection>>& ProxyFixture::Entries() const
{
    return m_pApp->m_pTraceStore->GetConnections();
}

std::string ProxyFixture::Records(const CTraceConnection& entry) const
{
    std::string text;
    for (const auto& r : entry.GetRecords()) {
        if (!text.empty())
            text += ' ';
        text += std::to_string(static_cast<int>(r->GetDirection())) + "/"
            + std::to_string(static_cast<int>(r->GetPart())) + "/"
            + std::to_string(r->GetByteCount());
    }
    return text;
}

std::string ProxyFixture::Url(int port, const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

std::string ReadHeader(BlockingStream& stream, int timeoutMs)
{
    return stream.ReadUntil("\r\n\r\n", timeoutMs);
}

