// The browser side of decrypted tunnels: the look at the tunnel's first bytes, the TLS session
// with the browser under a certificate of Kestrune's own, the routing of the requests inside to
// their origin over TLS, and the close that lets the last TLS bytes reach the browser.
#include "proxy/Proxy.h"

#include "http/AsciiCase.h"
#include "http/HeaderFunctions.h"
#include "proxy/ConnectionWatchdog.h"
#include "proxy/ExchangeSteps.h"
#include "proxy/Host.h"
#include "proxy/ProxyContext.h"
#include "proxy/TlsChannel.h"
#include "tls/DecryptPolicy.h"
#include "tls/TlsProvider.h"
#include "tls/TlsServerContext.h"
#include "tls/TlsSettings.h"
#include "tls/TlsSession.h"
#include "tls/TunnelSniffer.h"

#include <algorithm>

int CProxy::Receive(void* data, int length)
{
    const int n = CTlsSocket::Receive(data, length);
    if (n < 0 && m_pTls && GetLastError() == CTlsChannel::kTlsFailed)
        NoteBrowserTlsFailure();
    return n;
}

void CProxy::WatchForTls(const std::string& host, int port)
{
    CTlsProvider* https = m_Context.Https();
    if (!https || !https->GetSettings().decrypt || !https->GetPolicy().ShouldDecrypt(host))
        return; // tunnelled exactly as always
    m_pSniffer = std::make_unique<CTunnelSniffer>(host);
    m_strTlsHost = host;
    m_nTlsPort = port;
}

std::size_t CProxy::SniffTunnel(std::string_view bytes)
{
    CTlsProvider& https = *m_Context.Https();
    std::string error;
    const std::shared_ptr<CTlsServerContext> server = https.GetServerContext(error);
    if (!server) {
        ReportTlsProblem(m_Context.TraceStore(),
                         "Kestrune: the tunnel to " + m_strTlsHost + " is not decrypted: " + error);
        std::string held = m_pSniffer->TakeHeld();
        held.append(bytes);
        m_pSniffer.reset();
        if (m_pHost) {
            m_pHost->QueueForServer(held, m_pRequest.get(), false);
            m_pHost->StartSplicing();
        }
        return bytes.size();
    }
    switch (m_pSniffer->Feed(bytes.data(), bytes.size(), https.GetPolicy(), server->GetLeaves())) {
    case CTunnelSniffer::Verdict::NeedMore:
        break;
    case CTunnelSniffer::Verdict::Decrypt:
        BeginDecryption(*server);
        break;
    case CTunnelSniffer::Verdict::Tunnel: {
        if (!m_pSniffer->GetReason().empty())
            ReportTlsProblem(m_Context.TraceStore(), "Kestrune: the tunnel to " + m_strTlsHost
                             + " is not decrypted: " + m_pSniffer->GetReason());
        const std::string held = m_pSniffer->TakeHeld();
        m_pSniffer.reset();
        if (m_pHost) {
            m_pHost->QueueForServer(held, m_pRequest.get(), false);
            m_pHost->StartSplicing();
        }
        break;
    }
    }
    return bytes.size();
}

void CProxy::BeginDecryption(CTlsServerContext& server)
{
    const std::string held = m_pSniffer->TakeHeld();
    m_strTlsName = m_pSniffer->GetName();
    m_pSniffer.reset();
    // The CONNECT itself is answered: the requests inside are exchanges of their own.
    if (m_pRequest)
        EndExchange(m_Context.TraceStore(), *m_pRequest, EExchangeEnd::Complete);
    m_pRequest.reset();
    bool originDue = false; // its connect has finished, or is about to: told later in this turn
    if (CHost* tunnel = m_pHost) {
        m_Order.erase(std::remove_if(m_Order.begin(), m_Order.end(),
                                     [tunnel](const SPending& p) { return p.host == tunnel; }),
                      m_Order.end());
        // The tunnel's connection becomes the TLS connection to the origin, whose handshake
        // starts now, alongside the browser's: the first request finds it open.
        SRoute route = tunnel->Route();
        route.kind = SRoute::EKind::TlsOrigin;
        route.originHost = m_strTlsName;
        route.originPort = m_nTlsPort;
        if (!tunnel->HasFailed() && !tunnel->IsClosed()) {
            tunnel->BecomeTlsOrigin(std::move(route));
            originDue = !tunnel->IsConnected();
        } else {
            Retire(tunnel);
        }
    }
    m_pTls = std::make_unique<CTlsChannel>(*this, server.NewSession(m_strTlsHost));
    if (!m_Reply.empty()) {
        m_pTls->SendAhead(m_Reply); // the 200 goes out plain, before the ServerHello
        m_Reply.clear();
    }
    m_nState = ERequestStage::Header;
    m_nScanned = 0;
    m_Watchdog.HandshakeStarted(this); // a browser that stalls is closed
    if (originDue) {
        // A connect that finished at once is told after the ready sockets of this turn: the
        // origin's ClientHello goes out then, and the origin works on it while the browser's
        // handshake (and the certificate's minting) runs in the next turn.
        m_pTls->PutLater(held);
        m_pTls->Post([this] { StartBrowserTls(); });
        return;
    }
    m_pTls->Put(held);
    if (m_pTls->Session().GetStatus() == TlsStatus::Failed)
        NoteBrowserTlsFailure();
}

void CProxy::StartBrowserTls()
{
    if (m_bTornDown)
        return;
    m_pTls->Start();
    if (m_pTls->Session().GetStatus() == TlsStatus::Failed)
        NoteBrowserTlsFailure();
    // The socket was not read meanwhile: what the browser sent since (or the failure) is
    // taken now.
    if (m_lSelected & FD_READ)
        OnReceive(0);
}

void CProxy::NoteBrowserTlsFailure()
{
    if (m_bTlsFailureNoted)
        return;
    m_bTlsFailureNoted = true;
    const CTlsSession& session = m_pTls->Session();
    if (session.GetStatus() == TlsStatus::Open)
        return; // a failure after the handshake is the end of the connection, nothing more
    CTlsProvider* https = m_Context.Https();
    if (session.GetFailure() == TlsFailure::PeerRefused && https) {
        // The app keeps working: its later tunnels to this host pass undecrypted.
        const bool first = https->GetPolicy().NoteRefused(m_strTlsName);
        https->GetPolicy().NoteRefused(m_strTlsHost);
        if (first)
            ReportTlsProblem(m_Context.TraceStore(),
                             "Kestrune: the browser refused Kestrune's certificate for "
                                 + m_strTlsName + ": " + session.GetError()
                                 + "; tunnelled undecrypted from now on");
        return;
    }
    ReportTlsProblem(m_Context.TraceStore(), "Kestrune: TLS with the browser for " + m_strTlsName
                                                 + " failed: " + session.GetError());
}

bool CProxy::RouteOverTls(std::string& header, SRoute& route)
{
    std::string name = m_strTlsName;
    int port = m_nTlsPort;
    if (!m_pTls) {
        // An absolute https:// request: the client meant it to be encrypted.
        const std::size_t space = m_strRequestLine.find(' ');
        if (space == std::string::npos || m_strRequestLine.size() < space + 9)
            return false;
        if (!EqualsNoCase(std::string_view(m_strRequestLine).substr(space + 1, 8), "https://"))
            return false;
        name = m_strHost;
        port = AtoiText(m_strPort);
        const std::size_t lineEnd = header.find('\n') + 1;
        std::string line;
        line.append(m_strVerb).append(" ").append(m_strPath).append(" ").append(m_strVersion);
        header.replace(0, lineEnd, line.append("\r\n"));
    }
    route.kind = SRoute::EKind::TlsOrigin;
    route.originHost = name;
    route.originPort = port;
    if (m_Context.UseProxy()) {
        route.connectHost = m_Context.UpstreamHost();
        route.connectPort = AtoiText(m_Context.UpstreamPort());
        route.viaUpstream = true;
    } else {
        route.connectHost = m_pTls ? m_strTlsHost : name;
        route.connectPort = port;
    }
    return true;
}

bool CProxy::StartDraining()
{
    CloseServers();
    if (m_bCutShort)
        m_pTls->Flush(); // no close_notify: the browser must see the answer was cut short
    else
        m_pTls->Close(); // close_notify after everything the browser is owed
    if (!IsOpen() || m_pTls->IsDrained())
        return false;
    m_bDraining = true;
    m_lSelected = kAllEvents & ~FD_READ;
    AsyncSelect(m_lSelected);
    return true;
}

void CProxy::PostHeldPlaintext()
{
    if (!m_pTls || !m_pTls->HasUnread() || m_bReceivePosted || !(m_lSelected & FD_READ))
        return;
    m_bReceivePosted = true;
    m_pTls->Post([this] {
        m_bReceivePosted = false;
        OnReceive(0);
    });
}
