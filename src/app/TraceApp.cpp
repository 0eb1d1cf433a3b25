#include "app/TraceApp.h"

#include "app/HttpsEngine.h"
#include "app/SettingsRegistry.h"
#include "app/SheetBase.h"
#include "platform/LocalAddress.h"
#include "platform/MessageBox.h"
#include "http/HeaderFunctions.h"
#include "proxy/Listen.h"
#include "proxy/Proxy.h"
#include "proxy/UpstreamAddress.h"
#include "proxy/ReplayLauncher.h"
#include "trace/TraceStore.h"

#include <cassert>
#include <cstdio>

namespace {
CTraceApp* g_pCurrentApp = nullptr;
}

CTraceApp::CTraceApp()
    : m_pPrevious(g_pCurrentApp)
{
    g_pCurrentApp = this;
}

CTraceApp::~CTraceApp()
{
    ExitInstance();
    if (g_pCurrentApp == this)
        g_pCurrentApp = m_pPrevious;
}

CTraceApp& GetTraceApp()
{
    assert(g_pCurrentApp && "no application object");
    return *g_pCurrentApp;
}

bool HasTraceApp() { return g_pCurrentApp != nullptr; }

CTlsProvider* CTraceApp::Https() const
{
    return m_pHttps.get();
}

bool CTraceApp::InitCore()
{
    CSettingsRegistry settings;
    settings.CreateKey();
    if (!m_pTraceStore) {
        m_pTraceStore = std::make_unique<CTraceStore>(*this);
        m_pTraceStore->SetMemoryBudget(settings.GetMemoryBudget());
    }
    if (!m_pHttps) {
        m_pHttps = std::make_unique<CHttpsEngine>(CSettingsRegistry::GetFolder());
        CTlsSettings tls;
        tls.decrypt = settings.GetDecryptHttps();
        tls.decryptHosts = settings.GetDecryptHosts();
        tls.passHosts = settings.GetPassHosts();
        m_pHttps->Apply(tls);
    }
    return true;
}

void CTraceApp::ApplySettings(std::string address, std::string port,
                              std::string proxyAddress, std::string proxyPort)
{
    m_strAddress = std::move(address);
    m_strPort = std::move(port);
    const CUpstreamAddress upstream = SplitUpstreamAddress(proxyAddress);
    if (upstream.hasPassword)
        m_strProxyPassword = upstream.password;
    else if (upstream.user.empty())
        m_strProxyPassword.clear();
    m_strProxyAddress = upstream.shown;
    m_strProxyPort = std::move(proxyPort);
    m_bUseProxy = !m_strProxyAddress.empty();
    m_bRefusalReported = false;
}

std::string CTraceApp::UpstreamHost() const
{
    return SplitUpstreamAddress(m_strProxyAddress).host;
}

std::string CTraceApp::UpstreamUser() const
{
    return SplitUpstreamAddress(m_strProxyAddress).user;
}

void CTraceApp::ReportUpstreamRefusal()
{
    // With a window the line waits until Debug Trace is on to be seen.
    if (m_bRefusalReported || (m_pPropSheet && !DebugTraceOn()))
        return;
    m_bRefusalReported = true;
    const std::string upstream = m_strProxyAddress + ":" + m_strProxyPort;
    const std::string user = UpstreamUser();
    const std::string line = user.empty()
        ? "The upstream proxy " + upstream + " asks for credentials (407): give them as "
              "user:password@host in the proxy address."
        : "The upstream proxy " + upstream + " refused the credentials of user " + user + " (407).";
    if (m_pPropSheet)
        DebugTrace(line + "\r\n");
    else
        ShowMessageBox(line);
}

void CTraceApp::ClearAllData()
{
    if (m_pPropSheet) {
        m_pPropSheet->ClearAllData();
        return;
    }
    m_nBytesSent = 0;
    m_nBytesReceived = 0;
    if (m_pTraceStore)
        m_pTraceStore->PurgeClosedConnections();
}

bool CTraceApp::StartListening()
{
    ClearAllData();
    m_bUpstreamIsSelf = false;

    // The old listener's socket closes before the new one is made; the new object is made
    // first only so that it never takes the old one's address (a restart is then told apart).
    std::unique_ptr<CListen> old = std::move(m_pListener);
    m_pListener = std::make_unique<CListen>(*this);
    old.reset();

    const int port = AtoiText(m_strPort);
    if (m_pListener->Open(port)) {
        m_bUpstreamIsSelf = m_bUseProxy && AtoiText(m_strProxyPort) == GetListenPort()
            && IsLocalAddress(UpstreamHost());
        if (m_bUpstreamIsSelf)
            ShowMessageBox("The upstream proxy " + m_strProxyAddress + ":" + m_strProxyPort
                           + " is this proxy's own port: requests would loop back to it.");
        return true;
    }

    char text[64];
    std::snprintf(text, sizeof text, "Listen Error on port: %d", port);
    ShowMessageBox(text);
    m_pListener.reset();
    return false;
}

CReplayLauncher& CTraceApp::Replays()
{
    if (!m_pReplays)
        m_pReplays = std::make_unique<CReplayLauncher>(*this);
    return *m_pReplays;
}

int CTraceApp::GetListenPort() const
{
    return m_pListener ? m_pListener->GetLocalPort() : 0;
}

void CTraceApp::ExitInstance()
{
    if (m_bExited)
        return;
    m_bExited = true;
    m_pPropSheet.reset();
    m_pReplays.reset();
    m_pTraceStore.reset();
    m_pListener.reset();
    // Connections still open at the end of the run go too (their entries are gone already).
    m_Connections.DestroyAll();
}
