#include "app/ReplayConnection.h"

#include "http/HttpHead.h"
#include "proxy/TlsChannel.h"
#include "proxy/UpstreamAddress.h"
#include "tls/TlsClientContext.h"
#include "tls/TlsSession.h"

#include <QCoreApplication>

#include <cstring>

namespace {
// An answer head longer than this is no answer Kestrune replays against.
constexpr std::size_t kMaxHeadBytes = 256 * 1024;
} // namespace

std::string SReplayRoute::Key() const
{
    return host + " " + std::to_string(port) + " " + upstreamHost + " "
           + std::to_string(upstreamPort) + (tls ? " tls " + tlsName : "");
}

std::string SReplayRoute::Authority() const
{
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":"
           + std::to_string(port);
}

CReplayConnection::CReplayConnection(SReplayRoute route, Done done)
    : m_Route(std::move(route))
    , m_strKey(m_Route.Key())
    , m_done(std::move(done))
{
    m_Timer.setSingleShot(true);
    m_Timer.callOnTimeout([this] {
        Fail("no complete answer within " + std::to_string(kRequestTimeoutMs / 1000) + " s");
    });
}

CReplayConnection::~CReplayConnection() = default;

void CReplayConnection::Send(const std::string& method, const std::string& bytes)
{
    m_strMethod = method;
    m_Request = bytes;
    m_In.clear();
    m_nStatus = 0;
    m_bAnswered = false;
    m_bReused = m_bConnected;
    m_Timer.start(kRequestTimeoutMs);
    // Started from the loop, so that an answer (or a failure) never reaches the caller from
    // inside this call.
    m_eStep = EStep::Starting;
    QTimer::singleShot(0, &m_Timer, [this] {
        if (m_bConnected) {
            StartRequest();
            return;
        }
        m_eStep = EStep::Connecting;
        const bool upstream = !m_Route.upstreamHost.empty();
        const std::string& host = upstream ? m_Route.upstreamHost : m_Route.host;
        // As the relay makes its sockets to servers: IPv4 alone to a dotted IPv4 address,
        // TCP_NODELAY only once a send could be held back.
        if (!SocketFor(host, kAllEvents)) {
            Fail("cannot make a socket: " + std::string(std::strerror(GetLastError())));
            return;
        }
        SetNoDelayWhenNeeded();
        if (!Connect(host, upstream ? m_Route.upstreamPort : m_Route.port)
            && !WouldBlock(GetLastError()))
            Fail("cannot connect to " + host + ": " + std::strerror(GetLastError()));
    });
}

void CReplayConnection::OnConnect(int errorCode)
{
    const bool upstream = !m_Route.upstreamHost.empty();
    if (errorCode != 0) {
        Fail("cannot connect to "
             + (upstream ? "the upstream proxy " + m_Route.upstreamHost : m_Route.host) + ": "
             + std::strerror(errorCode));
        return;
    }
    m_bConnected = true;
    if (!upstream || !m_Route.tls) {
        StartRequest();
        return;
    }
    // A tunnel to the server, for TLS with the server itself.
    const std::string authority = m_Route.Authority();
    m_Out = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
    AddProxyAuthorization(m_Out, m_Route.upstreamUser, m_Route.upstreamPassword);
    m_nSent = 0;
    m_eStep = EStep::Tunnel;
    SendMore();
}

void CReplayConnection::StartRequest()
{
    if (m_Route.tls && !m_pTls)
        m_pTls = std::make_unique<CTlsChannel>(
            *this, m_Route.tlsContext->NewSession(m_Route.tlsName, m_Route.port));
    m_Out = m_Route.upstreamHost.empty() || m_Route.tls ? m_Request : ProxyForm();
    m_nSent = 0;
    m_In.clear();
    m_eStep = EStep::Head;
    SendMore();
}

std::string CReplayConnection::ProxyForm() const
{
    const std::size_t headEnd = m_Request.find("\r\n\r\n");
    if (headEnd == std::string::npos)
        return m_Request;
    std::string head = m_Request.substr(0, headEnd + 4);
    const std::size_t target = head.find(' ') + 1;
    if (target > 0 && head.compare(target, 1, "/") == 0)
        head.insert(target, "http://" + m_Route.Authority());
    AddProxyAuthorization(head, m_Route.upstreamUser, m_Route.upstreamPassword);
    return head + m_Request.substr(headEnd + 4);
}

void CReplayConnection::SendMore()
{
    if (m_pTls && !m_pTls->Flush()) {
        Fail(std::string("sending failed: ") + std::strerror(GetLastError()));
        return;
    }
    while (m_nSent < m_Out.size()) {
        const int n =
            Send(m_Out.data() + m_nSent,
                 static_cast<int>(std::min<std::size_t>(m_Out.size() - m_nSent, 1 << 20)));
        if (n < 0) {
            if (!WouldBlock(GetLastError()))
                Fail(TlsError("sending failed"));
            return;
        }
        m_nSent += static_cast<std::size_t>(n);
    }
}

std::string CReplayConnection::TlsError(const std::string& what) const
{
    if (m_pTls && m_pTls->Session().GetStatus() == TlsStatus::Failed)
        return "TLS with " + m_Route.tlsName + " failed: " + m_pTls->Session().GetError();
    return what + ": " + std::strerror(GetLastError());
}

void CReplayConnection::OnSend(int errorCode)
{
    if (errorCode == 0 && (m_eStep == EStep::Tunnel || m_eStep == EStep::Head))
        SendMore();
}

void CReplayConnection::OnReceive(int errorCode)
{
    (void)errorCode;
    ReadAll();
}

void CReplayConnection::OnClose(int errorCode)
{
    (void)errorCode;
    ReadAll();
}

void CReplayConnection::ReadAll()
{
    char buffer[65536];
    for (;;) {
        if (!IsOpen())
            return;
        const int n = Receive(buffer, static_cast<int>(sizeof buffer));
        if (n > 0) {
            if (m_eStep != EStep::Tunnel && m_eStep != EStep::Head && m_eStep != EStep::Body) {
                Drop(); // bytes nobody asked for: this connection carries nothing more
                return;
            }
            if (!Take(buffer, static_cast<std::size_t>(n)))
                return;
            continue;
        }
        if (n < 0 && WouldBlock(GetLastError()))
            return;
        // The server's end (or a failure).
        if (m_eStep == EStep::Body && m_Framer.IsUntilClose() && n == 0) {
            Finish(false);
        } else if (m_eStep == EStep::Tunnel || m_eStep == EStep::Head || m_eStep == EStep::Body) {
            const bool retry = m_bReused && !m_bAnswered;
            Fail(n == 0 ? "the server closed the connection before the answer ended"
                        : TlsError("receiving failed"),
                 retry);
        } else if (m_eStep != EStep::Connecting && m_eStep != EStep::Starting) {
            Drop();
        }
        return;
    }
}

bool CReplayConnection::Take(const char* data, std::size_t size)
{
    m_bAnswered = m_bAnswered || m_eStep != EStep::Tunnel;
    std::string_view bytes(data, size);
    std::string carry; // body bytes that came with a head
    while (!bytes.empty() || (m_eStep == EStep::Head && !m_In.empty())) {
        if (m_eStep == EStep::Body) {
            const std::size_t n = m_Framer.Consume(bytes);
            m_pHash->Add(bytes.substr(0, n));
            if (m_Framer.HasFailed()) {
                Fail("the answer's chunked framing is broken");
                return false;
            }
            if (m_Framer.IsDone()) {
                Finish(n == bytes.size());
                return false;
            }
            return true;
        }
        m_In.append(bytes);
        bytes = {};
        const SHttpHead head = ParseHttpHead(m_In);
        if (!head.complete) {
            if (m_In.size() > kMaxHeadBytes) {
                Fail("the answer's head is larger than 256 KiB");
                return false;
            }
            return true;
        }
        const int status = ParseStatusCode(head.firstLine);
        const std::string headText = m_In.substr(0, head.size);
        std::string rest = m_In.substr(head.size);
        m_In.clear();
        if (m_eStep == EStep::Tunnel) {
            if (status < 200 || status > 299) {
                Fail(IsProxyAuthenticationRequired(headText)
                         ? "the upstream proxy asks for credentials (407)"
                         : "the upstream proxy refused the tunnel: " + std::string(head.firstLine));
                return false;
            }
            StartRequest();
            return true;
        }
        if (status < 0) {
            Fail("the answer is not HTTP");
            return false;
        }
        if (!m_Route.upstreamHost.empty() && !m_Route.tls
            && IsProxyAuthenticationRequired(headText)) {
            Fail("the upstream proxy asks for credentials (407)"); // as for a tunnel it refuses
            return false;
        }
        m_Framing = ResponseFraming(headText, m_strMethod);
        if (m_Framing.kind == EBodyKind::Interim) {
            m_In = std::move(rest); // the final answer's head follows
            continue;
        }
        m_nStatus = status;
        m_pHash = std::make_unique<CBodyHash>(m_Framing.kind == EBodyKind::Chunked);
        if (m_Framing.kind == EBodyKind::None || m_Framing.kind == EBodyKind::Tunnel) {
            Finish(rest.empty() && m_Framing.kind == EBodyKind::None);
            return false;
        }
        CBodyFraming framing = m_Framing;
        if (framing.kind == EBodyKind::Invalid)
            framing.kind = EBodyKind::UntilClose; // as the relay passes it: until the server closes
        m_Framer.Start(framing, true);
        m_eStep = EStep::Body;
        if (m_Framer.IsDone()) {
            Finish(rest.empty());
            return false;
        }
        carry = std::move(rest);
        bytes = carry;
    }
    return true;
}

void CReplayConnection::Finish(bool reusable)
{
    SReplayAnswer answer;
    answer.status = m_nStatus;
    answer.bodyHash = m_pHash ? m_pHash->Value() : 0;
    answer.reusable = reusable && m_Framing.keepAlive && m_Framing.kind != EBodyKind::UntilClose
                      && m_Framing.kind != EBodyKind::Invalid;
    m_Timer.stop();
    m_eStep = EStep::Idle;
    if (!answer.reusable)
        Drop();
    m_done(*this, answer); // may delete this: nothing after it
}

void CReplayConnection::Fail(const std::string& error, bool retry)
{
    SReplayAnswer answer;
    answer.error = error;
    answer.retry = retry;
    m_Timer.stop();
    m_eStep = EStep::Idle;
    Drop();
    m_done(*this, answer); // may delete this: nothing after it
}

void CReplayConnection::Drop()
{
    if (m_pTls)
        m_pTls->Close();
    m_pTls.reset();
    Close();
    m_bConnected = false;
    if (m_eStep != EStep::Starting)
        m_eStep = EStep::Idle;
}
