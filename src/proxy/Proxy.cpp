#include "proxy/Proxy.h"

#include "proxy/ConnectionRegistry.h"
#include "proxy/ConnectionWatchdog.h"
#include "http/AsciiCase.h"
#include "http/HeaderFunctions.h"
#include "http/HttpHead.h"
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
    std::vector<std::string> tokens;
    Tokenize(FirstHeaderLine(header), " \r\n", tokens);
    return tokens.size() == 3 && EqualsNoCase(tokens[0], "connect");
}

// The target key of a direct request: host and port as they are connected to.
std::string TargetOf(const std::string& host, int port)
{
    return host + ":" + std::to_string(port);
}

constexpr char kUpstreamTarget[] = "upstream";

} // namespace

CProxy::CProxy(CProxyContext& context)
    : m_Context(context)
{
    CConnectionWatchdog::Instance().Add(this); // header, connect and idle timeouts
    if (m_Context.DebugTraceOn())
        m_Context.DebugTrace("CProxy::CProxy\r\n");
}

CProxy::~CProxy()
{
    CConnectionWatchdog::Instance().Remove(this);
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
        m_pHost->QueueForServer(bytes, false);
        return bytes.size();
    }
    const std::size_t n = m_BodyFramer.Consume(bytes);
    if (n > 0)
        m_pHost->QueueForServer(bytes.substr(0, n), false);
    if (m_BodyFramer.HasFailed()) {
        // A bad chunk: nothing from here on reaches the server, and no answer to this
        // request is awaited; the 400 follows the answers to the earlier ones.
        if (!m_Order.empty() && m_Order.back() == m_pHost) {
            m_Order.pop_back();
            m_pHost->ForgetLastRequest();
        }
        Refuse();
        return bytes.size();
    }
    if (m_BodyFramer.IsDone())
        m_nState = ERequestStage::Header;
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
        std::string header(rest.substr(0, end));
        offset += end;
        m_nScanned = 0;
        if (!ProcessHeader(std::move(header)))
            return false;
    }
    if (m_nState == ERequestStage::Refused)
        offset = m_Buffer.size();
    m_Buffer.erase(0, offset);
    if (m_nState == ERequestStage::Header) {
        m_nScanned = m_Buffer.size();
        CConnectionWatchdog& watchdog = CConnectionWatchdog::Instance();
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
    return true;
}

bool CProxy::ProcessHeader(std::string header)
{
    CConnectionWatchdog::Instance().HeaderComplete(this);
    const std::string line = FirstHeaderLine(header);
    if (line.empty())
        static_cast<CRequestFields&>(*this) = CRequestFields();
    else
        ParseRequest(line);
    if (!line.empty() && m_Context.DebugTraceOn())
        m_Context.DebugTrace(DebugLine(line));
    if (m_strRequestLine.empty()) {
        Refuse();
        return true;
    }
    if (RequestHeadFault(header)) {
        Refuse(); // field lines that servers read differently: none of it goes on
        return true;
    }
    if (m_bConnect && m_pTls) {
        Refuse(); // no tunnel inside a decrypted tunnel
        return true;
    }
    if (m_bConnect)
        return StartTunnel(std::move(header));
    const CBodyFraming framing = RequestFraming(header);
    if (framing.kind == EBodyKind::Invalid) {
        Refuse(); // framing the server might read otherwise: no smuggling through here
        return true;
    }

    const bool useProxy = m_Context.UseProxy();
    std::string host = m_strHost;
    std::string target;
    const bool overTls = RouteOverTls(header, host, target);
    if (overTls) {
        // to the origin over TLS, port and request line set
    } else if (useProxy) {
        host = m_Context.UpstreamHost();
        m_strPort = m_Context.UpstreamPort();
        target = kUpstreamTarget; // the upstream proxy routes every request itself
    } else {
        // Only the request line proper (up to its first LF) is replaced; every other header
        // byte goes on as it came, even after a bare LF inside the first CR LF line.
        const std::size_t lineEnd = header.find('\n') + 1;
        header.replace(0, lineEnd, m_strVerb + " " + m_strPath + " " + m_strVersion + "\r\n");
        target = TargetOf(host, AtoiText(m_strPort));
    }
    TerminateHeader(header);
    if (useProxy && !overTls)
        AddUpstreamCredentials(header); // never inside TLS: that goes to the origin

    CHost* server = ServerFor(target, host, AtoiText(m_strPort));
    const bool repeatable = framing.kind == EBodyKind::None
        && (m_strVerb == "GET" || m_strVerb == "HEAD" || m_strVerb == "OPTIONS");
    server->QueueRequest(header, m_strVerb, repeatable);
    m_Order.push_back(server);
    m_BodyFramer.Start(framing, false, true); // no bad chunk line reaches the server
    m_nState = m_BodyFramer.IsDone() ? ERequestStage::Header : ERequestStage::Body;
    static_cast<CRequestFields&>(*this) = CRequestFields(); // nothing of it is kept
    return true;
}

bool CProxy::StartTunnel(std::string header)
{
    // Every earlier answer is complete: the earlier servers are done with.
    while (!m_Hosts.empty())
        Retire(m_Hosts.back().get());
    WatchForTls(m_strHost, AtoiText(m_strPort));
    const bool useProxy = m_Context.UseProxy();
    std::string host = m_strHost;
    if (useProxy) {
        host = m_Context.UpstreamHost();
        m_strPort = m_Context.UpstreamPort();
    }
    m_pHost = OpenServer(std::string(), host, AtoiText(m_strPort), true);
    m_Order.push_back(m_pHost);
    m_nState = ERequestStage::Tunnel;
    if (useProxy) {
        TerminateHeader(header);
        AddUpstreamCredentials(header);
        m_pHost->QueueForServer(header, false);
    } else {
        // The CONNECT header is not forwarded; bytes that came right behind it are the
        // tunnel's first bytes and go to the server, not back to the browser.
        AppendToBuffer(kTunnelReply, sizeof kTunnelReply - 1);
    }
    return true;
}

void CProxy::AddUpstreamCredentials(std::string& header) const
{
    // What is recorded is what goes out: the added line shows in the trace like any other.
    AddProxyAuthorization(header, m_Context.UpstreamUser(), m_Context.UpstreamPassword());
}

CHost* CProxy::ServerFor(const std::string& target, const std::string& host, int port)
{
    if (m_pHost && m_pHost->IsReusableFor(target))
        return m_pHost;
    CHost* previous = m_pHost;
    m_pHost = OpenServer(target, host, port, false);
    if (previous && !previous->IsBusy())
        Retire(previous); // no longer needed: its answers are all delivered
    return m_pHost;
}

CHost* CProxy::OpenServer(const std::string& target, const std::string& host, int port, bool tunnel)
{
    m_Hosts.push_back(std::make_unique<CHost>(this, target, host, port));
    CHost* server = m_Hosts.back().get();
    if (CTraceStore* store = m_Context.TraceStore())
        server->SetTraceEntry(store->AddConnection(server, tunnel));
    if (!server->Socket(kAllEvents)) {
        server->SetFailed();
        return server;
    }
    const int on = 1;
    (void)server->SetSockOpt(TCP_NODELAY, &on, sizeof on, IPPROTO_TCP); // latency only: ignored
    server->AsyncSelect(kAllEvents);
    if (tunnel)
        server->SetTunnel();
    if (target.rfind("https://", 0) == 0)
        ConfigureTls(*server, target);
    else if (m_Context.UseProxy())
        server->SetViaUpstream(); // a 407 at the start of its answers is the upstream's
    if (m_Context.UseProxy() && m_Context.IsUpstreamSelf()) {
        server->AsyncSelect(0); // the upstream is this proxy: the request would come back here
        server->SetFailed();
        return server;
    }
    CConnectionWatchdog::Instance().ConnectStarted(this); // the 404 page if it takes too long
    if (!server->Connect(host, port) && !WouldBlock(server->GetLastError())) {
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
    if (host != m_pHost && !host->IsBusy())
        Retire(host);
    return FlushToBrowser();
}

void CProxy::RepeatUnanswered(CHost* host)
{
    // A keep-alive server may close just as the next request reaches it: that request goes
    // again on a new connection, so nothing the browser sent is lost.
    CHost* fresh = OpenServer(host->Target(), host->ConnectHost(), host->ConnectPort(), false);
    host->MoveUnansweredTo(*fresh);
    std::size_t moved = fresh->Unanswered();
    for (auto it = m_Order.rbegin(); it != m_Order.rend() && moved > 0; ++it) {
        if (*it == host) {
            *it = fresh;
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
    if (!m_Buffer.empty()) {
        m_pHost->QueueForServer(m_Buffer, false);
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
        CHost* host = m_Order.front();
        if (host->HasFailed())
            return ReplyAndClose(kConnectErrorReply, sizeof kConnectErrorReply - 1, true);
        switch (host->DeliverResponse()) {
        case CHost::EDelivery::Partial:
            return true;
        case CHost::EDelivery::EndOfPair:
        case CHost::EDelivery::BrowserGone:
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
        // Bytes no request asked for go on as they come; a server that has ended with nothing
        // owed ends the pair.
        const CHost::EDelivery delivery = m_pHost->DeliverResponse();
        if (delivery == CHost::EDelivery::EndOfPair || delivery == CHost::EDelivery::BrowserGone) {
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
    m_Order.clear();
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
    CConnectionWatchdog::Instance().Remove(this); // no timeout acts on it any more
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
