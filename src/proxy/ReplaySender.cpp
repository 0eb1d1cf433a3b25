#include "proxy/ReplaySender.h"

#include "http/HeaderFunctions.h"
#include "http/HttpHead.h"
#include "http/MessageFraming.h"
#include "proxy/ConnectionWatchdog.h"
#include "proxy/ExchangeSteps.h"
#include "proxy/Host.h"
#include "proxy/ProxyContext.h"
#include "proxy/UpstreamAddress.h"
#include "trace/ResendRequest.h"
#include "trace/TraceStore.h"

namespace {
constexpr int kConnectTimeoutMs = CConnectionWatchdog::kDefaultConnectTimeoutS * 1000;
constexpr int kIdleTimeoutMs = CConnectionWatchdog::kDefaultIdleTimeoutS * 1000;

// Why a request cannot go out as it is; empty when it can. The relay would refuse the same
// head from a browser.
std::string RequestFault(const SResendRequest& request)
{
    if (request.host.empty() || request.port == 0)
        return "it names no server to send it to";
    if (request.head.empty() || HeaderEndOffset(request.head) != request.head.size())
        return "its head does not end with one blank line";
    if (const char* fault = RequestHeadFault(request.head))
        return std::string("its head has ") + fault;
    const CBodyFraming framing = RequestFraming(request.head);
    if (framing.kind == EBodyKind::Invalid)
        return "its body framing (Content-Length, Transfer-Encoding) cannot be trusted";
    if (framing.kind == EBodyKind::None && !request.body.empty())
        return "its body has no Content-Length or Transfer-Encoding to go with it";
    return std::string();
}
} // namespace

CReplaySender::CReplaySender(CProxyContext& context, Finished finished)
    : m_Context(context)
    , m_Finished(std::move(finished))
{
    m_Timer.setSingleShot(true);
    QObject::connect(&m_Timer, &QTimer::timeout, [this] {
        Finish(EExchangeEnd::OriginAborted, m_bConnected
                                                ? "no more of the answer within the idle timeout"
                                                : "the connect timed out");
    });
}

CReplaySender::~CReplaySender()
{
    m_bFinished = true; // no handler of the server side acts any more
}

std::shared_ptr<CExchange> CReplaySender::Start(const SResendRequest& request, std::string& error)
{
    error = RequestFault(request);
    const bool https = request.https;
    const bool useProxy = m_Context.UseProxy();
    if (error.empty() && useProxy && m_Context.IsUpstreamSelf())
        error = "the upstream proxy is Kestrune itself";
    if (error.empty() && !m_Sink.Open())
        error = "no socket can be made";
    if (!error.empty())
        return nullptr;

    CTraceStore* store = m_Context.TraceStore();
    m_pExchange = store ? store->AddExchange() : std::make_shared<CExchange>();
    CExchange& exchange = *m_pExchange;
    exchange.m_Times.started = ExchangeNow();
    exchange.m_nFlags = kExchangeReplay;
    exchange.m_nReplayOf = request.replayOf;
    exchange.m_bHttps = https;
    exchange.m_strHost = request.host;
    exchange.m_nPort = request.port;
    exchange.m_strMethod = request.method;
    exchange.m_strTarget = request.target;
    exchange.m_strVersion = request.version;
    exchange.m_strRequestHead = request.head;

    // Routed as the relay routes a browser's request now: TLS to the origin (through a tunnel
    // the upstream opens, when one is set), the upstream proxy with the absolute URL and its
    // credentials, or the origin itself with the path alone.
    SRoute route;
    route.kind = https      ? SRoute::EKind::TlsOrigin
                 : useProxy ? SRoute::EKind::Upstream
                            : SRoute::EKind::Direct;
    route.originHost = request.host;
    route.originPort = request.port;
    route.viaUpstream = useProxy;
    route.connectHost = useProxy ? m_Context.UpstreamHost() : request.host;
    route.connectPort = useProxy ? AtoiText(m_Context.UpstreamPort()) : request.port;
    std::string head = request.head;
    const std::string target = useProxy && !https ? exchange.Url() : exchange.Path();
    head.replace(0, head.find('\n') + 1,
                 request.method + " " + target + " " + request.version + "\r\n");
    TerminateHeader(head);
    if (useProxy && !https)
        AddProxyAuthorization(head, m_Context.UpstreamUser(), m_Context.UpstreamPassword());
    if (useProxy)
        exchange.m_nFlags |= kExchangeViaUpstream;
    if (head != exchange.m_strRequestHead)
        exchange.m_strForwardedHead = head;

    m_pHost = std::make_unique<CHost>(*this, route);
    if (store)
        m_pHost->SetTraceEntry(store->AddConnection(m_pHost.get(), false));
    // The socket the relay would make for the same server: IPv4 alone to a dotted IPv4
    // address, TCP_NODELAY only once a send could be held back.
    if (!m_pHost->SocketFor(route.connectHost, CAsyncSocket::kAllEvents)) {
        Finish(EExchangeEnd::OriginAborted, "no socket can be made");
        return m_pExchange;
    }
    m_pHost->SetNoDelayWhenNeeded();
    if (https)
        m_pHost->UseTls();
    m_pHost->QueueRequest(head, m_pExchange, false);
    if (!request.body.empty())
        m_pHost->QueueForServer(request.body, m_pExchange.get(), false);
    m_Timer.start(kConnectTimeoutMs);
    if (!m_pHost->Connect(route.connectHost, route.connectPort)
        && !WouldBlock(m_pHost->GetLastError()))
        ConnectFailed(m_pHost.get());
    return m_pExchange;
}

void CReplaySender::ServerConnected(CHost*)
{
    m_bConnected = true;
    if (!m_bFinished)
        m_Timer.start(kIdleTimeoutMs);
}

void CReplaySender::ConnectFailed(CHost* host)
{
    host->AsyncSelect(0);
    host->SetFailed();
    const SRoute& route = host->Route();
    Finish(EExchangeEnd::OriginAborted,
           "cannot connect to " + route.connectHost + ":" + std::to_string(route.connectPort));
}

bool CReplaySender::ServerEnded(CHost*) { return FlushToBrowser(); }

bool CReplaySender::FlushToBrowser()
{
    if (m_bFinished || !m_pHost)
        return false;
    if (m_bConnected)
        m_Timer.start(kIdleTimeoutMs); // something happened: the idle time starts again
    switch (m_pHost->DeliverResponse()) {
    case CHost::EDelivery::Partial:
        if (!m_bUpgraded)
            return true;
        // A 101: what follows is another protocol, which no replay speaks.
        Finish(EExchangeEnd::Complete, std::string());
        return false;
    case CHost::EDelivery::Complete:
        Finish(EExchangeEnd::Complete, std::string());
        return false;
    case CHost::EDelivery::EndOfPair:
    case CHost::EDelivery::BrowserGone:
        Finish(EExchangeEnd::OriginAborted, "the server closed the connection before it answered");
        return false;
    }
    return true;
}

void CReplaySender::UpdateFlow()
{
    if (!m_bFinished && m_pHost && !m_pHost->IsClosed())
        m_pHost->SetReading(true); // the answer is never held back: it is dropped as it comes
}

void CReplaySender::Finish(EExchangeEnd end, const std::string& reason)
{
    if (m_bFinished)
        return;
    m_bFinished = true;
    m_Timer.stop();
    if (m_pHost) {
        if (m_pHost->IsOpen() && !m_pHost->IsClosed())
            m_pHost->SendPending(); // TLS ends with its close_notify
        m_pHost->AsyncSelect(0);
        m_pHost->Close();
        m_pHost->EndTrace();
    }
    if (m_pExchange && !HasEnded(*m_pExchange))
        EndExchange(m_Context.TraceStore(), *m_pExchange, end, reason);
    m_Sink.Close();
    if (m_Finished)
        m_Finished(this);
}
