// The origin side of HTTPS: TLS over the server connection, directly or through a tunnel the
// upstream proxy opens for us, and the 502 the browser gets when that fails.
#include "proxy/Host.h"

#include "http/HeaderFunctions.h"
#include "proxy/ExchangeSteps.h"
#include "proxy/HostOwner.h"
#include "proxy/ProxyContext.h"
#include "proxy/UpstreamAddress.h"
#include "proxy/TlsChannel.h"
#include "tls/BadGatewayReply.h"
#include "tls/TlsClientContext.h"
#include "tls/TlsProvider.h"
#include "tls/TlsSession.h"
#include "trace/TraceConnection.h"
#include "trace/TraceStore.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {
// The upstream proxy's answer to our CONNECT is a short header.
constexpr std::size_t kMaxTunnelReply = 65536;

// The address and port a connected socket reached ("127.0.0.1:443", "[::1]:443"), or empty.
std::string PeerAddress(int fd)
{
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    if (fd < 0 || ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0)
        return {};
    char text[INET6_ADDRSTRLEN] = "";
    if (peer.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(peer);
        if (!::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text))
            return {};
        return std::string(text) + ":" + std::to_string(ntohs(v4.sin_port));
    }
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(peer);
    if (peer.ss_family != AF_INET6 || !::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text))
        return {};
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6.sin6_port));
}
} // namespace

void CHost::UseTls()
{
    m_bTls = true;
    m_strVia = m_Route.viaUpstream ? m_Route.OriginAuthority() : std::string();
    m_strOrigin = m_Route.TlsOriginUrl();
    if (m_pTrace)
        m_pTrace->SetOrigin(m_strOrigin);
}

void CHost::BecomeTlsOrigin(SRoute route)
{
    // The tunnel's entry, when it has one (the CONNECT passed upstream and its answer), ends
    // here: the decrypted requests are recorded as plain HTTP in an entry of their own.
    if (m_pTrace) {
        CTraceConnection* entry = m_pTrace;
        m_pTrace = nullptr;
        entry->DetachConnection();
        if (CTraceStore* store = m_Owner.Context().TraceStore())
            store->DropClosedEntry(entry);
    }
    m_Route = std::move(route);
    m_bTunnel = false;
    m_bViaUpstream = false; // the upstream's answer to the CONNECT has come already
    m_nState = EResponseStage::Header;
    m_pTunnelExchange.reset();
    UseTls();
    m_strVia.clear();     // the tunnel through the upstream is open
    if (m_bConnected)
        OpenTlsSession(); // the handshake starts now, alongside the browser's
}

void CHost::StartTls()
{
    if (m_strVia.empty()) {
        OpenTlsSession();
        return;
    }
    // Our own CONNECT is not recorded: the records show what the browser asked for.
    std::string request = "CONNECT " + m_strVia + " HTTP/1.1\r\nHost: " + m_strVia + "\r\n\r\n";
    const CProxyContext& context = m_Owner.Context();
    AddProxyAuthorization(request, context.UpstreamUser(), context.UpstreamPassword());
    m_bAwaitTunnel = true;
    if (CAsyncSocket::Send(request.data(), static_cast<int>(request.size()))
        != static_cast<int>(request.size()))
        m_strTlsError = "the CONNECT request could not be sent";
}

void CHost::OpenTlsSession()
{
    std::string error = "TLS is not available";
    CTlsProvider* https = m_Owner.Context().Https();
    std::shared_ptr<CTlsClientContext> client = https ? https->GetClientContext(error) : nullptr;
    if (!client) {
        m_strTlsError = "cannot start TLS: " + error;
        return;
    }
    // Through an upstream proxy the socket's peer is the proxy, which serves every origin.
    const std::string server = m_Route.viaUpstream ? std::string() : PeerAddress(GetSocketHandle());
    m_pTls = std::make_unique<CTlsChannel>(
        *this, client->NewSession(m_Route.originHost, m_Route.originPort, server));
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
                m_Owner.Context().ReportUpstreamRefusal();
            m_strTlsError = "the upstream proxy refused the tunnel: " + line;
            SetLastError(CTlsChannel::kTlsFailed);
            return -1;
        }
        m_bAwaitTunnel = false;
        OpenTlsSession();
        if (m_pTls && end < m_strTunnelReply.size())
            m_pTls->Put(m_strTunnelReply.substr(end)); // the origin's first TLS bytes
        std::string().swap(m_strTunnelReply);
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
        m_Owner.ServerConnected(this); // the connect timeout ends here
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
        ? "TLS to the origin server " + m_Route.originHost + ":" + std::to_string(m_Route.originPort)
        : "the tunnel through the upstream proxy " + m_Route.connectHost + ":"
            + std::to_string(m_Route.connectPort);
    ReportTlsProblem(m_Owner.Context().TraceStore(), "Kestrune: " + hop + " failed: " + reason);
    if (m_Owed.empty() || m_nState != EResponseStage::Header || !m_Header.empty())
        return; // no answer is owed, or one has begun: the close ends it
    const std::string reply = MakeBadGatewayReply(hop, reason);
    CExchange& exchange = *m_Owed.front().exchange;
    exchange.m_nStatus = 502;
    exchange.m_strResponseHead = reply.substr(0, reply.find("\r\n\r\n") + 4);
    exchange.m_nEnd = EExchangeEnd::Refused; // the proxy's own answer
    exchange.m_strEndReason = hop + " failed: " + reason;
    Hold(ETracePart::Header, reply);
    m_nCloseAt = m_nHeld;
    EndFrontResponse(EExchangeEnd::Refused);
}

std::size_t CHost::PendingForServer() const
{
    return m_SendBuffer.size() + (m_pTls ? m_pTls->Pending() : 0) + Held(m_pToServer.get());
}
