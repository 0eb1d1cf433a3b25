#include "proxy/Proxy.h"

#include "proxy/ConnectionRegistry.h"
#include "proxy/ConnectionWatchdog.h"
#include "http/AsciiCase.h"
#include "http/HeaderFunctions.h"
#include "http/HttpHead.h"
#include "proxy/ExchangeSteps.h"
#include "proxy/Host.h"
#include "proxy/ProxyContext.h"
#include "proxy/TlsChannel.h"
#include "proxy/TracedSend.h"
#include "proxy/UpstreamAddress.h"
#include "tls/TunnelSniffer.h"
#include "trace/TraceStore.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <string_view>

const char CProxy::kBadHeaderReply[] = "HTTP/1.0 400 Invalid header received from browser\n\n";
const char CProxy::kTunnelReply[] =
    "HTTP/1.0 200 Connection established\nProxy-agent: Kestrune-Proxy/1.0\n\n";
const char CProxy::kConnectErrorReply[] =
    "HTTP/1.0 404 Error connecting to site\nPragma: no-cache\nContent-Type: text/html\n\n"
    "<html>\n<head>\n<FONT FACE=\"Arial,Helvetica\">\nSite does not exist.\n</head>\n\n";

namespace {

const char kSendTrace[] = "CProxy::Send_Data Sending to socket=%u total = %u\r\n";

// Reads taken per readiness event: each is its own chunk, but they leave in one send.
constexpr int kReadsPerEvent = 8;

bool IsConnectHeader(std::string_view header)
{
    // A CONNECT is rare: only a line that starts with the method is parsed.
    std::string_view line = FirstHeaderLineView(header);
    line.remove_prefix(std::min(line.find_first_not_of(" \r"), line.size()));
    if (line.size() < 7 || !EqualsNoCase(line.substr(0, 7), "connect"))
        return false;
    CRequestFields fields;
    fields.ParseRequest(line);
    return fields.m_bConnect;
}

// Browser connections made in this run; only the event loop's thread makes them.
int g_nBrowserConnections = 0;

} // namespace

CProxy::CProxy(CProxyContext& context)
    : m_Context(context)
    , m_Watchdog(context.Watchdog())
    , m_nNumber(++g_nBrowserConnections)
{
    m_Watchdog.Add(this); // header, connect and idle timeouts
    if (m_Context.DebugTraceOn())
        m_Context.DebugTrace("CProxy::CProxy\r\n");
}

CProxy::~CProxy()
{
    m_Watchdog.Remove(this);
    // The server sides go first, each ending its trace entry.
    m_pHost = nullptr;
    m_Order.clear();
    m_Retired.clear();
    m_Hosts.clear();
    m_Closed.clear();
}

void CProxy::OnReceive(int)
{
    if (m_bDraining || m_bTornDown)
        return;
    ReleaseRetired();
    if (m_nState == ERequestStage::Tunnel && !m_pSniffer && m_pHost
        && m_pHost->SplicesFromBrowser()) {
        ReceiveSpliced();
        return;
    }
    char buffer[kReadSize];
    for (int i = 0; i < kReadsPerEvent; ++i) {
        const bool relaying = m_nState == ERequestStage::Body || m_nState == ERequestStage::Tunnel;
        if (relaying && m_pHost && m_pHost->PendingForServer() >= kBufferLimit)
            break; // the server is slow: leave the rest with the browser for now
        if (m_nState == ERequestStage::Held && m_Buffer.size() >= kBufferLimit)
            break;
        if (m_nState == ERequestStage::Refused && !m_bCloseAfterReply)
            break; // nothing more is taken until the 400 is due
        const int n = Receive(buffer, kReadSize);
        if (n == 0) {
            BrowserEnded(0);
            return;
        }
        if (n < 0) {
            if (WouldBlock(GetLastError()))
                break;
            BrowserEnded(GetLastError());
            return;
        }
        const std::string_view bytes(buffer, static_cast<std::size_t>(n));
        if (m_bCloseAfterReply || m_nState == ERequestStage::Refused)
            continue; // answered already: what the browser still sends is not wanted
        if (relaying) {
            if (m_Context.DebugTraceOn())
                m_Context.DebugTrace("CProxy::OnRecieve ProcessBody\r\n");
            // A chunk line held back goes on with these bytes behind it.
            const bool lineHeld = m_nState == ERequestStage::Body && !m_Buffer.empty();
            const std::size_t used = lineHeld ? 0 : RelayBody(bytes);
            const bool buffered =
                m_nState == ERequestStage::Header || m_nState == ERequestStage::Body;
            if (used < bytes.size() && buffered) {
                m_Buffer.append(bytes.substr(used)); // the next request, or the rest of a line
                if (!ProcessBuffered())
                    return;
            }
        } else {
            if (m_Context.DebugTraceOn())
                m_Context.DebugTrace("CProxy::OnRecieve ProcessHeader\r\n");
            m_Buffer.append(bytes);
            if (m_nState == ERequestStage::Header && !ProcessBuffered())
                return;
        }
        if (n < kReadSize)
            break; // drained for now; the next readiness brings the rest
    }
    if (!FlushToServers() || !FlushToBrowser())
        return;
    UpdateFlow();
}

std::size_t CProxy::RelayBody(std::string_view bytes)
{
    if (m_nState == ERequestStage::Tunnel) {
        if (m_pSniffer)
            return SniffTunnel(bytes);
        m_pHost->QueueForServer(bytes, m_pRequest.get(), false);
        return bytes.size();
    }
    const std::size_t n = m_BodyFramer.Consume(bytes);
    if (n > 0)
        m_pHost->QueueForServer(bytes.substr(0, n), m_pRequest.get(), false);
    if (m_BodyFramer.HasFailed()) {
        // A bad chunk: nothing from here on reaches the server, and no answer to this
        // request is awaited; the 400 follows the answers to the earlier ones.
        if (!m_Order.empty() && m_Order.back().host == m_pHost) {
            m_Order.pop_back();
            m_pHost->ForgetLastRequest();
        }
        if (m_pRequest)
            RefuseExchange(*m_pRequest, 400, "the request body's chunked framing is broken");
        Refuse();
        return bytes.size();
    }
    if (m_BodyFramer.IsDone()) {
        m_nState = ERequestStage::Header;
        m_pRequest.reset();
    }
    return n;
}

bool CProxy::ProcessBuffered()
{
    std::size_t offset = 0;
    while (offset < m_Buffer.size()) {
        const std::string_view rest = std::string_view(m_Buffer).substr(offset);
        if (m_nState == ERequestStage::Body || m_nState == ERequestStage::Tunnel) {
            const std::size_t used = RelayBody(rest);
            offset += used;
            if (used < rest.size() && m_nState == ERequestStage::Body)
                break; // a chunk line not ended yet waits for its end, unsent
            continue;
        }
        if (m_nState != ERequestStage::Header)
            break;
        const std::size_t end = HeaderEndOffset(rest, offset == 0 ? m_nScanned : 0);
        if (end == 0)
            break;
        if (!m_Order.empty() && (m_Order.size() >= kMaxUnanswered
                                 || IsConnectHeader(rest.substr(0, end)))) {
            // The tunnel starts only once every earlier answer is complete; so does the next
            // request of a browser that has many waiting (a bound on servers and memory).
            m_nState = ERequestStage::Held;
            break;
        }
        m_strHead.assign(rest.substr(0, end)); // its buffer serves the next request too
        offset += end;
        m_nScanned = 0;
        if (!ProcessHeader(m_strHead))
            return false;
    }
    if (m_nState == ERequestStage::Refused)
        offset = m_Buffer.size();
    m_Buffer.erase(0, offset);
    if (m_nState == ERequestStage::Header) {
        m_nScanned = m_Buffer.size();
        CConnectionWatchdog& watchdog = m_Watchdog;
        if (m_Buffer.size() > CConnectionWatchdog::kMaxHeaderBytes) {
            // A header this long is no header: refuse it rather than hold it without end.
            m_Buffer.clear();
            watchdog.HoldHeader(this, 0);
            Refuse();
        } else if (!watchdog.HoldHeader(this, m_Buffer.size())) {
            TearDown(); // unfinished headers of all browsers hold too much already
            return false;
        }
    }
    if (m_Buffer.empty() && m_Buffer.capacity() > 65536)
        std::string().swap(m_Buffer); // nothing of a long header stays behind
    if (m_strHead.capacity() > 65536)
        std::string().swap(m_strHead);
    return true;
}

bool CProxy::ProcessHeader(std::string& header)
{
    m_Watchdog.HeaderComplete(this);
    const std::string_view line = FirstHeaderLineView(header);
    if (line.empty())
        Clear();
    else
        ParseRequest(line);
    if (!line.empty() && m_Context.DebugTraceOn())
        m_Context.DebugTrace(DebugLine(line));
    std::shared_ptr<CExchange> exchange = NewExchange(header);
    if (m_strRequestLine.empty()) {
        RefuseExchange(*exchange, 400, "the request line cannot be read");
        Refuse();
        return true;
    }
    const char* fault = nullptr;
    const CBodyFraming framing = ReadRequestHead(header, fault); // one pass for both
    if (fault) {
        RefuseExchange(*exchange, 400, "the request's field lines cannot be trusted");
        Refuse(); // field lines that servers read differently: none of it goes on
        return true;
    }
    if (m_bConnect && m_pTls) {
        RefuseExchange(*exchange, 400, "a CONNECT inside a decrypted tunnel");
        Refuse(); // no tunnel inside a decrypted tunnel
        return true;
    }
    if (m_bConnect)
        return StartTunnel(header, std::move(exchange));
    if (framing.kind == EBodyKind::Invalid) {
        RefuseExchange(*exchange, 400, "the request's body framing cannot be trusted");
        Refuse(); // framing the server might read otherwise: no smuggling through here
        return true;
    }

    const bool useProxy = m_Context.UseProxy();
    // Every field is set below; the member keeps its strings' buffers from one request to the
    // next.
    SRoute& route = m_NextRoute;
    route.kind = SRoute::EKind::Direct;
    route.viaUpstream = false;
    const bool overTls = RouteOverTls(header, route);
    if (!overTls) {
        route.originHost = m_strHost;
        route.originPort = AtoiText(m_strPort);
    }
    if (overTls) {
        // to the origin over TLS, route and request line set
    } else if (useProxy) {
        route.kind = SRoute::EKind::Upstream; // the upstream proxy routes every request itself
        route.connectHost = m_Context.UpstreamHost();
        route.connectPort = AtoiText(m_Context.UpstreamPort());
        route.viaUpstream = true;
    } else {
        // Only the request line proper (up to its first LF) is replaced; every other header
        // byte goes on as it came, even after a bare LF inside the first CR LF line.
        const std::size_t lineEnd = header.find('\n') + 1;
        if (const std::size_t cut = AbsolutePartOfLine(std::string_view(header).substr(0, lineEnd))) {
            header.erase(m_strVerb.size() + 1, cut); // the usual line: only "http://authority" goes
        } else {
            m_strLine.assign(m_strVerb).append(" ").append(m_strPath).append(" ").append(m_strVersion);
            header.replace(0, lineEnd, m_strLine.append("\r\n"));
        }
        route.connectHost = m_strHost;
        route.connectPort = route.originPort;
    }
    TerminateHeader(header);
    if (useProxy && !overTls)
        AddUpstreamCredentials(header); // never inside TLS: that goes to the origin

    exchange->m_bHttps = overTls;
    exchange->m_strHost = route.originHost;
    exchange->m_nPort = static_cast<std::uint16_t>(route.originPort);
    if (route.viaUpstream)
        exchange->m_nFlags |= kExchangeViaUpstream;
    if (header != exchange->m_strRequestHead)
        exchange->m_strForwardedHead = header;

    CHost* server = ServerFor(route);
    if (server->IsHandshaking())
        m_Watchdog.ConnectStarted(this); // the origin's handshake is still to finish in time
    const bool repeatable = framing.kind == EBodyKind::None
        && (m_strVerb == "GET" || m_strVerb == "HEAD" || m_strVerb == "OPTIONS");
    server->QueueRequest(header, exchange, repeatable);
    m_Order.push_back(SPending{server, exchange});
    m_BodyFramer.Start(framing, false, true); // no bad chunk line reaches the server
    m_nState = m_BodyFramer.IsDone() ? ERequestStage::Header : ERequestStage::Body;
    m_pRequest = m_nState == ERequestStage::Body ? std::move(exchange) : nullptr;
    Clear(); // nothing of it is kept
    return true;
}

std::size_t CProxy::AbsolutePartOfLine(std::string_view line) const
{
    // The parsed line is the head's own, as "VERB SP scheme://authority path SP VERSION CR LF":
    // the bytes between the verb's space and the path, else 0.
    const std::string_view parsed = m_strRequestLine;
    if (m_strPath.empty() || line != parsed || !parsed.ends_with("\r\n")
        || m_strVerb.data() != parsed.data() || parsed[m_strVerb.size()] != ' ')
        return 0;
    const std::size_t pathAt = static_cast<std::size_t>(m_strPath.data() - parsed.data());
    const std::size_t versionAt = pathAt + m_strPath.size() + 1;
    if (versionAt + m_strVersion.size() + 2 != parsed.size() || parsed[versionAt - 1] != ' '
        || m_strVersion.data() != parsed.data() + versionAt || pathAt <= m_strVerb.size() + 1)
        return 0;
    return pathAt - m_strVerb.size() - 1;
}

std::shared_ptr<CExchange> CProxy::NewExchange(const std::string& header)
{
    CTraceStore* store = m_Context.TraceStore();
    std::shared_ptr<CExchange> exchange = StartExchange(store);
    exchange->m_Times.started = ExchangeNow();
    exchange->m_nBrowserConnection = m_nNumber;
    if (m_pTls)
        exchange->m_nFlags |= kExchangeDecrypted;
    SRequestLine request;
    bool parsed = false;
    if (m_bPlainLine) {
        parsed = PlainRequestLine(request); // the line as cut by ParseRequest already
    } else {
        std::string_view line(header);
        line = line.substr(0, line.find('\n'));
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        parsed = ParseRequestLine(line, request);
    }
    if (parsed) {
        exchange->m_strMethod = request.method;
        exchange->m_strTarget = request.target;
        exchange->m_strVersion = request.version;
    } else {
        exchange->m_strMethod = m_strVerb;
        exchange->m_strVersion = m_strVersion;
    }
    exchange->m_strRequestHead = header;
    return exchange;
}

void CProxy::RefuseExchange(CExchange& exchange, int status, std::string reason)
{
    exchange.m_nStatus = status;
    EndExchange(m_Context.TraceStore(), exchange, EExchangeEnd::Refused, std::move(reason));
}

bool CProxy::StartTunnel(std::string header, std::shared_ptr<CExchange> exchange)
{
    // Every earlier answer is complete: the earlier servers are done with.
    while (!m_Hosts.empty())
        Retire(m_Hosts.back().get());
    WatchForTls(std::string(m_strHost), AtoiText(m_strPort));
    const bool useProxy = m_Context.UseProxy();
    SRoute route;
    route.originHost = m_strHost;
    route.originPort = AtoiText(m_strPort);
    route.connectHost = m_strHost;
    route.connectPort = route.originPort;
    if (useProxy) {
        route.kind = SRoute::EKind::Upstream;
        route.connectHost = m_Context.UpstreamHost();
        route.connectPort = AtoiText(m_Context.UpstreamPort());
        route.viaUpstream = true;
        exchange->m_nFlags |= kExchangeViaUpstream;
    }
    exchange->m_nFlags |= kExchangeTunnel;
    exchange->m_bHttps = true;
    exchange->m_strHost = route.originHost;
    exchange->m_nPort = static_cast<std::uint16_t>(route.originPort);
    m_pHost = OpenServer(route, true);
    m_pHost->SetTunnel(exchange);
    if (!m_pSniffer)
        m_pHost->StartSplicing(); // never decrypted: socket to socket
    m_Order.push_back(SPending{m_pHost, exchange});
    m_pRequest = exchange;
    m_nState = ERequestStage::Tunnel;
    if (useProxy) {
        TerminateHeader(header);
        AddUpstreamCredentials(header);
        if (header != exchange->m_strRequestHead)
            exchange->m_strForwardedHead = header;
        m_pHost->QueueForServer(header, nullptr, false);
    } else {
        // The CONNECT header is not forwarded; bytes that came right behind it are the
        // tunnel's first bytes and go to the server, not back to the browser.
        AppendToBuffer(kTunnelReply, sizeof kTunnelReply - 1);
        exchange->m_nStatus = 200;
        exchange->m_strReason = "Connection established";
        exchange->m_strResponseHead = kTunnelReply;
    }
    return true;
}

void CProxy::AddUpstreamCredentials(std::string& header) const
{
    // What is recorded is what goes out: the added line shows in the trace like any other.
    AddProxyAuthorization(header, m_Context.UpstreamUser(), m_Context.UpstreamPassword());
}

CHost* CProxy::ServerFor(const SRoute& route)
{
    if (m_pHost && m_pHost->IsReusableFor(route))
        return m_pHost;
    CHost* previous = m_pHost;
    m_pHost = OpenServer(route, false);
    if (previous && !previous->IsBusy())
        Retire(previous); // no longer needed: its answers are all delivered
    return m_pHost;
}

CHost* CProxy::OpenServer(const SRoute& route, bool tunnel)
{
    m_Hosts.push_back(std::make_unique<CHost>(*this, route));
    CHost* server = m_Hosts.back().get();
    // A tunnel that may be decrypted gets its entry with its first chunk, once it is known
    // which kind it is: no entry is left empty.
    CTraceStore* store = m_Context.TraceStore();
    if (store && !(tunnel && m_pSniffer))
        server->SetTraceEntry(store->AddConnection(server, tunnel));
    if (!server->SocketFor(route.connectHost, kAllEvents)) {
        server->SetFailed();
        return server;
    }
    server->SetNoDelayWhenNeeded();
    if (!tunnel) {
        // The request goes out as soon as the connection stands: the handshake's last ACK waits
        // to ride on it, and the answer's ACK on our next segment, instead of two segments of
        // their own. Not for a tunnel, whose server may be the one to speak first.
        const int off = 0;
        (void)server->SetSockOpt(TCP_QUICKACK, &off, sizeof off, IPPROTO_TCP);
    }
    server->AsyncSelect(kAllEvents);
    if (route.kind == SRoute::EKind::TlsOrigin)
        server->UseTls();
    if (route.viaUpstream && m_Context.IsUpstreamSelf()) {
        server->AsyncSelect(0); // the upstream is this proxy: the request would come back here
        server->SetFailed();
        return server;
    }
    m_Watchdog.ConnectStarted(this); // the 404 page if it takes too long
    if (!server->Connect(route.connectHost, route.connectPort)
        && !WouldBlock(server->GetLastError())) {
        server->AsyncSelect(0);
        server->SetFailed();
    }
    return server;
}

void CProxy::Retire(CHost* host)
{
    host->Retire();
    const auto owned = std::find_if(m_Hosts.begin(), m_Hosts.end(),
                                    [host](const auto& h) { return h.get() == host; });
    if (owned != m_Hosts.end()) {
        m_Retired.push_back(std::move(*owned));
        m_Hosts.erase(owned);
    }
    if (m_pHost == host)
        m_pHost = nullptr;
}

void CProxy::ReleaseRetired()
{
    m_Retired.clear();
}

void CProxy::Refuse()
{
    m_nState = ERequestStage::Refused;
}

bool CProxy::FlushToServers()
{
    if (m_Hosts.size() == 1)
        return m_Hosts.front()->FlushToServer();
    // A flush may retire a server connection (it stays alive): walk a copy of the list.
    std::vector<CHost*> hosts;
    hosts.reserve(m_Hosts.size());
    for (const auto& host : m_Hosts)
        hosts.push_back(host.get());
    for (CHost* host : hosts) {
        if (!host->FlushToServer())
            return false;
    }
    return true;
}

void CProxy::ConnectTimedOut()
{
    std::vector<CHost*> waiting;
    std::vector<CHost*> handshaking;
    for (const auto& host : m_Hosts) {
        if (!host->IsConnected() && !host->HasFailed())
            waiting.push_back(host.get());
        else if (host->IsHandshaking())
            handshaking.push_back(host.get());
    }
    for (CHost* host : waiting) {
        host->AsyncSelect(0);
        host->Close(); // gives up the connect (and a name lookup still running)
        host->SetFailed();
    }
    for (CHost* host : handshaking) {
        if (!host->HandshakeTimedOut())
            return; // the pair is gone
    }
    if (FlushToBrowser())
        UpdateFlow();
}

void CProxy::ServerConnected(CHost*)
{
    m_Watchdog.ConnectFinished(this);
}

void CProxy::ServerDropped(CHost* host)
{
    if (host == m_pHost && (m_nState == ERequestStage::Body || m_nState == ERequestStage::Tunnel))
        return; // a request still going there ends with the pair: its answer cannot come
    if (!host->IsBusy())
        Retire(host);
    else if (host == m_pHost)
        m_pHost = nullptr; // it still delivers what it holds; later requests go elsewhere
}

void CProxy::ConnectFailed(CHost* host)
{
    host->AsyncSelect(0);
    host->SetFailed();
    if (FlushToBrowser())
        UpdateFlow();
}

bool CProxy::ServerEnded(CHost* host)
{
    if (host->CanRepeatUnanswered())
        RepeatUnanswered(host);
    // The origin connection a decrypted tunnel opened ahead of its first request ended before
    // any: the request gets a connection of its own (and its 502, should that fail as well).
    const bool early = host == m_pHost && m_pTls && !host->HasAnswered();
    if ((host != m_pHost || early) && !host->IsBusy())
        Retire(host);
    return FlushToBrowser();
}

void CProxy::RepeatUnanswered(CHost* host)
{
    // A keep-alive server may close just as the next request reaches it: that request goes
    // again on a new connection, so nothing the browser sent is lost.
    CHost* fresh = OpenServer(host->Route(), false);
    host->MoveUnansweredTo(*fresh);
    std::size_t moved = fresh->Unanswered();
    for (auto it = m_Order.rbegin(); it != m_Order.rend() && moved > 0; ++it) {
        if (it->host == host) {
            it->host = fresh;
            --moved;
        }
    }
    if (m_pHost == host)
        m_pHost = fresh;
}

void CProxy::SwitchToTunnel(CHost* host)
{
    if (host != m_pHost)
        return; // an upgrade answered while later requests went elsewhere is not followed
    m_nState = ERequestStage::Tunnel;
    for (auto it = m_Order.rbegin(); it != m_Order.rend(); ++it) {
        if (it->host == host) {
            m_pRequest = it->exchange; // the upgraded exchange counts the bytes both ways
            break;
        }
    }
    if (!m_Buffer.empty()) {
        m_pHost->QueueForServer(m_Buffer, m_pRequest.get(), false);
        m_Buffer.clear();
    }
}

bool CProxy::ReplyAndClose(const char* reply, std::size_t length, bool traced)
{
    m_nState = ERequestStage::Refused;
    m_bCloseAfterReply = true;
    std::string_view bytes(reply, length);
    if (!traced && m_Reply.empty()) {
        // The 400 reply goes out in one direct send, untraced; a short send keeps the rest.
        const int n = Send(bytes.data(), static_cast<int>(bytes.size()));
        if (n < 0 && !WouldBlock(GetLastError())) {
            TearDown();
            return false;
        }
        if (n > 0)
            bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    AppendToBuffer(bytes.data(), bytes.size());
    if (!FlushToBrowser())
        return false;
    UpdateFlow();
    return true;
}

void CProxy::OnSend(int)
{
    if (m_bTornDown)
        return;
    if (m_bDraining) {
        if (!m_pTls->Flush() || m_pTls->IsDrained())
            TearDown();
        return;
    }
    ReleaseRetired();
    if (m_pTls && !m_pTls->Flush()) {
        TearDown(); // the last TLS bytes of a response wait for no further send
        return;
    }
    if (FlushToBrowser())
        UpdateFlow();
}

void CProxy::OnConnect(int)
{
}

void CProxy::OnClose(int errorCode)
{
    if (!m_bTornDown)
        BrowserEnded(errorCode);
}

bool CProxy::BrowserEnded(int errorCode)
{
    if (m_bBrowserDone && errorCode == 0)
        return true;
    m_bBrowserDone = true;
    // Gone for good, or gone with nothing asked: nothing more to deliver.
    const bool owed = !m_Order.empty() || m_bCloseAfterReply || !m_Reply.empty()
        || m_nState == ERequestStage::Refused;
    if (errorCode != 0 || !owed) {
        m_nAbortEnd = EExchangeEnd::BrowserAborted;
        TearDown();
        return false;
    }
    // A half-close: the browser may still read. Its bytes all reach the servers (which are then
    // told of the end), and the answers still come back.
    if (!FlushToServers() || !FlushToBrowser())
        return false;
    UpdateFlow();
    return true;
}

int CProxy::Send_Data(CAsyncSocket& socket, std::string& bytes)
{
    const int n = SendFront(socket, bytes, kSendTrace, m_Context.TraceStore());
    return n > 0 ? n : 0;
}

void CProxy::AppendToBuffer(const char* bytes, std::size_t length)
{
    m_Reply.append(bytes, length);
}

bool CProxy::FlushToBrowser()
{
    if (!m_Reply.empty()) {
        if (SendFront(*this, m_Reply, kSendTrace, m_Context.TraceStore()) < 0) {
            TearDown();
            return false;
        }
        if (!m_Reply.empty())
            return true; // the rest goes on OnSend
    }
    if (m_bCloseAfterReply) {
        TearDown();
        return false;
    }
    while (!m_Order.empty()) {
        CHost* host = m_Order.front().host;
        if (host->HasFailed()) {
            const SRoute& route = host->Route();
            RefuseExchange(*m_Order.front().exchange, 404,
                           "cannot connect to " + route.connectHost + ":"
                               + std::to_string(route.connectPort));
            return ReplyAndClose(kConnectErrorReply, sizeof kConnectErrorReply - 1, true);
        }
        switch (host->DeliverResponse()) {
        case CHost::EDelivery::Partial:
            return true;
        case CHost::EDelivery::EndOfPair:
            if (HasEnded(*m_Order.front().exchange)) {
                // The browser must not take a cut answer for a whole one.
                m_bCutShort = m_Order.front().exchange->m_nEnd == EExchangeEnd::Truncated;
                m_Order.erase(m_Order.begin());
            }
            TearDown();
            return false;
        case CHost::EDelivery::BrowserGone:
            m_nAbortEnd = EExchangeEnd::BrowserAborted;
            TearDown();
            return false;
        case CHost::EDelivery::Complete:
            m_Order.erase(m_Order.begin());
            if (host != m_pHost && !host->IsBusy())
                Retire(host); // its last answer is out and no request will go there
            break;
        }
    }
    return AfterLastResponse();
}

bool CProxy::AfterLastResponse()
{
    if (m_nState == ERequestStage::Refused)
        return ReplyAndClose(kBadHeaderReply, sizeof kBadHeaderReply - 1, false);
    if (m_nState == ERequestStage::Held) {
        m_nState = ERequestStage::Header;
        m_nScanned = 0;
        return ProcessBuffered() && FlushToServers() && FlushToBrowser();
    }
    if (m_pHost) {
        // A tunnel's bytes (after a 101) go on as they come (the server drops any other bytes
        // no request asked for); a server that has ended with nothing owed ends the pair.
        const CHost::EDelivery delivery = m_pHost->DeliverResponse();
        if (delivery == CHost::EDelivery::EndOfPair || delivery == CHost::EDelivery::BrowserGone) {
            if (delivery == CHost::EDelivery::BrowserGone)
                m_nAbortEnd = EExchangeEnd::BrowserAborted;
            TearDown();
            return false;
        }
    }
    if (m_bBrowserDone && m_nState != ERequestStage::Tunnel) {
        TearDown(); // the browser has ended and every answer is out
        return false;
    }
    return true;
}

void CProxy::UpdateFlow()
{
    // Read from the browser only while the server side can take more.
    bool read = !m_bBrowserDone;
    if (m_nState == ERequestStage::Body || m_nState == ERequestStage::Tunnel)
        read = read && m_pHost && !m_pHost->IsClosed() && m_pHost->PendingForServer() < kBufferLimit;
    else if (m_nState == ERequestStage::Held)
        read = read && m_Buffer.size() < kBufferLimit;
    else if (m_nState == ERequestStage::Refused)
        read = read && m_bCloseAfterReply;
    const long events = read ? kAllEvents : (kAllEvents & ~FD_READ);
    if (events != m_lSelected && IsOpen()) {
        AsyncSelect(events);
        m_lSelected = events;
    }
    PostHeldPlaintext();
    if (m_bCloseAfterReply)
        return;
    for (const auto& host : m_Hosts) {
        if (!host->IsClosed())
            host->SetReading(host->PendingForBrowser() < kBufferLimit);
    }
}

void CProxy::CloseServers()
{
    for (const auto& host : m_Hosts) {
        if (host->IsOpen() && !host->IsClosed())
            host->SendPending(); // one last chance for what the server has not taken
        // No event reaches it again; it is freed with this object (its own handler may be
        // the one that ended the pair).
        host->AsyncSelect(0);
        host->Close();
        host->EndTrace();
    }
    for (const auto& host : m_Retired) {
        host->AsyncSelect(0);
        host->Close();
        host->EndTrace();
    }
    m_pHost = nullptr;
    // What is still owed ends with the pair: a tunnel (CONNECT or upgraded) at its close, the
    // rest cut off by whichever side went.
    CTraceStore* store = m_Context.TraceStore();
    for (const SPending& pending : m_Order) {
        CExchange& exchange = *pending.exchange;
        const bool tunnel = exchange.Has(kExchangeTunnel) || exchange.Has(kExchangeUpgraded);
        EndExchange(store, exchange, tunnel ? EExchangeEnd::Complete : m_nAbortEnd);
    }
    m_Order.clear();
    m_pRequest.reset();
    if (m_Closed.empty())
        m_Closed.swap(m_Hosts); // the usual case, without a new list
    for (auto& host : m_Hosts)
        m_Closed.push_back(std::move(host));
    m_Hosts.clear();
}

void CProxy::TearDown()
{
    if (m_bTornDown)
        return;
    if (m_pTls && !m_bDraining && StartDraining())
        return; // torn down once the browser has taken the last TLS bytes
    m_bTornDown = true;
    m_Watchdog.Remove(this); // no timeout acts on it any more
    CloseServers();
    if (IsOpen()) {
        // Unread bytes at close would reset the connection and could cost the browser the
        // end of its answer: take what is there first.
        char buffer[kReadSize];
        for (int i = 0; i < 64 && CAsyncSocket::Receive(buffer, kReadSize) > 0; ++i) {
        }
        AsyncSelect(0);
        Close();
    }
    m_Context.Connections().Release(this);
}
