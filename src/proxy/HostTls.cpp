// The origin side of HTTPS: TLS over the server connection, directly or through a tunnel the
// upstream proxy opens for us, and the 502 the browser gets when that fails.
#include "proxy/Host.h"

#include "http/HeaderFunctions.h"
#include "proxy/ConnectionWatchdog.h"
#include "proxy/Proxy.h"
#include "proxy/ProxyContext.h"
#include "proxy/UpstreamAddress.h"
#include "proxy/TlsChannel.h"
#include "tls/BadGatewayReply.h"
#include "tls/TlsClientContext.h"
#include "tls/TlsProvider.h"
#include "tls/TlsSession.h"
#include "trace/TraceConnection.h"

namespace {
// The upstream proxy's answer to our CONNECT is a short header.
constexpr std::size_t kMaxTunnelReply = 65536;
} // namespace

void CHost::UseTls(std::string name, std::string via, std::string origin)
{
    m_strTlsName = std::move(name);
    m_strVia = std::move(via);
    m_strOrigin = std::move(origin);
    if (m_pTrace)
        m_pTrace->SetOrigin(m_strOrigin);
}

void CHost::StartTls()
{
    if (m_strVia.empty()) {
        OpenTlsSession();
        return;
    }
    // Our own CONNECT is not recorded: the records show what the browser asked for.
    std::string request = "CONNECT " + m_strVia + " HTTP/1.1\r\nHost: " + m_strVia + "\r\n\r\n";
    const CProxyContext& context = m_pProxy->Context();
    AddProxyAuthorization(request, context.UpstreamUser(), context.UpstreamPassword());
    m_bAwaitTunnel = true;
    if (CAsyncSocket::Send(request.data(), static_cast<int>(request.size()))
        != static_cast<int>(request.size()))
        m_strTlsError = "the CONNECT request could not be sent";
}

void CHost::OpenTlsSession()
{
    std::string error = "TLS is not available";
    CTlsProvider* https = m_pProxy->Context().Https();
    std::shared_ptr<CTlsClientContext> client = https ? https->GetClientContext(error) : nullptr;
    if (!client) {
        m_strTlsError = "cannot start TLS: " + error;
        return;
    }
    m_pTls = std::make_unique<CTlsChannel>(*this, client->NewSession(m_strTlsName));
}

int CHost::ReadTunnelReply()
{
    char buffer[4096];
    while (m_bAwaitTunnel) {
        const int n = CAsyncSocket::Receive(buffer, static_cast<int>(sizeof buffer));
        if (n < 0)
            return -1;
        if (n == 0) {
            m_strTlsError = "the upstream proxy closed the connection instead of answering the CONNECT";
            SetLastError(CTlsChannel::kTlsFailed);
            return -1;
        }
        m_strTunnelReply.append(buffer, static_cast<std::size_t>(n));
        const std::size_t end = HeaderEndOffset(m_strTunnelReply, 0);
        if (end == 0) {
            if (m_strTunnelReply.size() <= kMaxTunnelReply)
                continue;
            m_strTlsError = "the upstream proxy's answer to the CONNECT has no end";
            SetLastError(CTlsChannel::kTlsFailed);
            return -1;
        }
        // The status line, whether its lines end in CR LF or a bare LF.
        std::string line = m_strTunnelReply.substr(0, m_strTunnelReply.find('\n'));
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::size_t space = line.find(' ');
        if (space == std::string::npos || line.compare(space + 1, 1, "2") != 0) {
            if (IsProxyAuthenticationRequired(m_strTunnelReply))
                m_pProxy->Context().ReportUpstreamRefusal();
            m_strTlsError = "the upstream proxy refused the tunnel: " + line;
            SetLastError(CTlsChannel::kTlsFailed);
            return -1;
        }
        m_bAwaitTunnel = false;
        OpenTlsSession();
        if (m_pTls && end < m_strTunnelReply.size())
            m_pTls->Put(m_strTunnelReply.substr(end)); // the origin's first TLS bytes
        m_strTunnelReply = std::string();
    }
    return 0;
}

int CHost::Send(const void* data, int length)
{
    if (!IsTls())
        return CAsyncSocket::Send(data, length);
    if (!m_strTlsError.empty()) {
        SetLastError(CTlsChannel::kTlsFailed);
        return -1;
    }
    if (!m_pTls) {
        SetLastError(WSAEWOULDBLOCK); // the tunnel is not open yet: OnReceive flushes later
        return -1;
    }
    int error = 0;
    const int n = m_pTls->Send(static_cast<const char*>(data), length, error);
    if (n < 0)
        SetLastError(error);
    return n;
}

int CHost::Receive(void* data, int length)
{
    if (!IsTls())
        return CAsyncSocket::Receive(data, length);
    if (m_bAwaitTunnel && m_strTlsError.empty() && ReadTunnelReply() < 0)
        return -1;
    if (!m_strTlsError.empty()) {
        SetLastError(CTlsChannel::kTlsFailed);
        return -1;
    }
    if (!m_pTls) {
        SetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    int error = 0;
    const int n = m_pTls->Receive(static_cast<char*>(data), length, error);
    if (n < 0) {
        SetLastError(error);
        if (error == CTlsChannel::kTlsFailed)
            m_strTlsError = m_pTls->Session().GetError();
    }
    if (!m_bTlsOpen && m_pTls->Session().IsOpen()) {
        m_bTlsOpen = true;
        CConnectionWatchdog::Instance().ConnectFinished(m_pProxy); // the connect timeout ends here
    }
    return n;
}

bool CHost::HandshakeTimedOut()
{
    m_strTlsError = "timed out";
    return ServerEnded(CTlsChannel::kTlsFailed);
}

void CHost::HoldBadGateway()
{
    if (!IsTls() || !m_bConnected)
        return;
    std::string reason = m_strTlsError;
    if (reason.empty() && m_pTls && !m_pTls->Session().IsOpen())
        reason = m_pTls->Session().GetStatus() == TlsStatus::Failed
            ? m_pTls->Session().GetError()
            : "the origin server closed the connection during the TLS handshake";
    if (reason.empty())
        return;
    const std::string hop = m_pTls || m_strVia.empty()
        ? "TLS to the origin server " + m_strTlsName + ":"
            + (m_strVia.empty() ? std::to_string(m_nPort) : m_strVia.substr(m_strVia.rfind(':') + 1))
        : "the tunnel through the upstream proxy " + m_strHost + ":" + std::to_string(m_nPort);
    ReportTlsProblem(m_pProxy->Context().TraceStore(), "Kestrune: " + hop + " failed: " + reason);
    if (m_Methods.empty() || m_nState != EResponseStage::Header || !m_Header.empty())
        return; // no answer is owed, or one has begun: the close ends it
    Hold(ETracePart::Header, MakeBadGatewayReply(hop, reason));
    m_Methods.erase(m_Methods.begin());
    m_ResponseEnds.push_back(m_nHeld);
    m_nCloseAt = m_nHeld;
}

std::size_t CHost::PendingForServer() const
{
    return m_SendBuffer.size() + (m_pTls ? m_pTls->Pending() : 0);
}
