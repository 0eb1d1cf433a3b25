#include "proxy/Proxy.h"

#include "app/TraceApp.h"
#include "proxy/ConnectionWatchdog.h"
#include "proxy/HeaderFunctions.h"
#include "proxy/Host.h"
#include "proxy/TracedSend.h"
#include "trace/TraceStore.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <string_view>
#include <unordered_set>

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

std::unordered_set<CProxy*>& LiveProxies()
{
    static std::unordered_set<CProxy*> live;
    return live;
}

bool WouldBlock(int error)
{
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

} // namespace

CProxy::CProxy()
{
    LiveProxies().insert(this);
    CConnectionWatchdog::Instance().Add(this); // header, connect and idle timeouts
    if (DebugTraceOn())
        DebugTrace("CProxy::CProxy\r\n");
}

CProxy::~CProxy()
{
    LiveProxies().erase(this);
    CConnectionWatchdog::Instance().Remove(this);
    delete m_pHost;
}

std::size_t CProxy::LiveCount()
{
    return LiveProxies().size();
}

void CProxy::DestroyAll()
{
    while (!LiveProxies().empty())
        (*LiveProxies().begin())->TearDown();
}

void CProxy::OnReceive(int)
{
    char buffer[kReadSize];
    for (int i = 0; i < kReadsPerEvent; ++i) {
        if (m_nState == 2 && m_pHost && m_pHost->PendingForServer() >= kBufferLimit)
            break; // the server is slow: leave the rest with the browser for now
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
        if (m_bCloseAfterReply)
            continue; // answered already: what the browser still sends is not wanted
        if (m_nState == 1) {
            if (DebugTraceOn())
                DebugTrace("CProxy::OnRecieve ProcessHeader\r\n");
            m_Buffer.append(bytes);
            if (!ProcessHeader())
                return;
        } else if (m_pHost) {
            if (DebugTraceOn())
                DebugTrace("CProxy::OnRecieve ProcessBody\r\n");
            m_pHost->QueueForServer(bytes, false);
        }
        if (n < kReadSize)
            break; // drained for now; the next readiness brings the rest
    }
    if (m_pHost && !m_bCloseAfterReply && !m_pHost->FlushToServer())
        return;
    UpdateFlow();
}

bool CProxy::ProcessHeader()
{
    const std::size_t end = HeaderEndOffset(m_Buffer, m_nScanned);
    if (end == 0) {
        m_nScanned = m_Buffer.size();
        if (m_Buffer.size() > CConnectionWatchdog::kMaxHeaderBytes) {
            // A header this long is no header: refuse it rather than hold it without end.
            m_Buffer.clear();
            CConnectionWatchdog::Instance().HoldHeader(this, 0);
            return ReplyAndClose(kBadHeaderReply, sizeof kBadHeaderReply - 1, false);
        }
        if (!CConnectionWatchdog::Instance().HoldHeader(this, m_Buffer.size())) {
            TearDown(); // unfinished headers of all browsers hold too much already
            return false;
        }
        return true;
    }

    m_nState = 2;
    CConnectionWatchdog::Instance().HeaderComplete(this);
    // The header is exactly the bytes up to its end; what follows is body, relayed once.
    std::string header = m_Buffer.substr(0, end);
    std::string rest = m_Buffer.substr(end);
    m_Buffer.clear();
    m_Buffer.shrink_to_fit();
    {
        std::string cut = header;
        SplitHeaderLines(cut, m_HeaderLines);
    }
    if (!m_HeaderLines.empty())
        ParseRequest(m_HeaderLines[0]);
    if (m_strRequestLine.empty())
        return ReplyAndClose(kBadHeaderReply, sizeof kBadHeaderReply - 1, false);
    return StartServerConnection(std::move(header), std::move(rest));
}

bool CProxy::StartServerConnection(std::string header, std::string rest)
{
    CTraceApp& app = GetTraceApp();
    const bool useProxy = app.m_bUseProxy != 0;

    if (!useProxy && !m_bConnect) {
        // Only the request line proper (up to its first LF) is replaced; every other header
        // byte goes on as it came, even after a bare LF inside the first CR LF line.
        const std::size_t lineEnd = header.find('\n') + 1;
        header.replace(0, lineEnd, m_strVerb + " " + m_strPath + " " + m_strVersion + "\r\n");
    }
    TerminateHeader(header);

    m_pHost = new CHost(this);
    if (app.m_pTraceStore)
        m_pHost->SetTraceEntry(app.m_pTraceStore->AddConnection(m_pHost, m_bConnect != 0));

    std::string target = m_strHost;
    if (useProxy) {
        target = app.m_strProxyAddress;
        m_strPort = app.m_strProxyPort;
    }

    if (!m_pHost->Socket(kAllEvents))
        return ReplyAndClose(kConnectErrorReply, sizeof kConnectErrorReply - 1, true);
    const int on = 1;
    m_pHost->SetSockOpt(TCP_NODELAY, &on, sizeof on, IPPROTO_TCP);
    m_pHost->AsyncSelect(kAllEvents);
    if (m_bConnect)
        m_pHost->SetTunnel();

    if (m_bConnect && !useProxy) {
        // The CONNECT header is not forwarded; bytes that came right behind it are the
        // tunnel's first bytes and go to the server, not back to the browser.
        AppendToBuffer(kTunnelReply, sizeof kTunnelReply - 1);
        if (!rest.empty())
            m_pHost->QueueForServer(rest, false);
        if (!FlushToBrowser())
            return false;
    } else {
        m_pHost->QueueForServer(header, false);
        if (!rest.empty())
            m_pHost->QueueForServer(rest, false);
    }

    if (useProxy && app.IsUpstreamSelf()) {
        ConnectFailed(); // the upstream is this proxy: the request would come back here
        return false;
    }
    CConnectionWatchdog::Instance().ConnectStarted(this); // the 404 page if it takes too long
    if (!m_pHost->Connect(target, AtoiText(m_strPort)) && !WouldBlock(m_pHost->GetLastError())) {
        ConnectFailed();
        return false;
    }
    return true;
}

void CProxy::ConnectFailed()
{
    if (m_pHost)
        m_pHost->AsyncSelect(0);
    ReplyAndClose(kConnectErrorReply, sizeof kConnectErrorReply - 1, true);
}

bool CProxy::ReplyAndClose(const char* reply, std::size_t length, bool traced)
{
    m_nState = 2;
    m_bCloseAfterReply = true;
    std::string_view bytes(reply, length);
    if (!traced && m_Buffer.empty()) {
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
    if (FlushToBrowser())
        UpdateFlow();
}

void CProxy::OnConnect(int)
{
}

void CProxy::OnClose(int errorCode)
{
    BrowserEnded(errorCode);
}

bool CProxy::BrowserEnded(int errorCode)
{
    if (m_bBrowserDone && errorCode == 0)
        return true;
    m_bBrowserDone = true;
    // Gone for good, or gone before a request was made: nothing more to deliver.
    if (errorCode != 0 || m_nState == 1 || (!m_pHost && !m_bCloseAfterReply)) {
        TearDown();
        return false;
    }
    // A half-close: the browser may still read. Its bytes all reach the server (which is then
    // told of the end), and the answer still comes back.
    if (m_pHost && !m_bCloseAfterReply && !m_pHost->IsClosed() && !m_pHost->FlushToServer())
        return false;
    if (!FlushToBrowser())
        return false;
    UpdateFlow();
    return true;
}

int CProxy::Send_Data(CAsyncSocket& socket, std::string& bytes)
{
    const int n = SendFront(socket, bytes, kSendTrace);
    return n > 0 ? n : 0;
}

void CProxy::AppendToBuffer(const char* bytes, std::size_t length)
{
    m_Buffer.append(bytes, length);
}

bool CProxy::FlushToBrowser()
{
    if (!m_Buffer.empty()) {
        if (SendFront(*this, m_Buffer, kSendTrace) < 0) {
            TearDown();
            return false;
        }
        if (!m_Buffer.empty())
            return true; // the rest goes on OnSend
    }
    if (m_bCloseAfterReply) {
        TearDown();
        return false;
    }
    return m_pHost ? m_pHost->FlushToBrowser() : true;
}

void CProxy::UpdateFlow()
{
    // Read from the browser only while the server side can take more.
    bool read = !m_bBrowserDone;
    if (m_pHost && !m_bCloseAfterReply)
        read = read && !m_pHost->IsClosed() && m_pHost->PendingForServer() < kBufferLimit;
    const long events = read ? kAllEvents : (kAllEvents & ~FD_READ);
    if (events != m_lSelected && IsOpen()) {
        AsyncSelect(events);
        m_lSelected = events;
    }
    if (m_pHost && !m_pHost->IsClosed() && !m_bCloseAfterReply)
        m_pHost->SetReading(m_pHost->PendingForBrowser() < kBufferLimit);
}

void CProxy::TearDown()
{
    if (CHost* host = m_pHost) {
        m_pHost = nullptr;
        if (host->IsOpen() && !host->IsClosed()) {
            host->SendPending(); // one last chance for what the server has not taken
            host->AsyncSelect(0);
            host->Close();
        }
        delete host;
    }
    if (IsOpen()) {
        // Unread bytes at close would reset the connection and could cost the browser the
        // end of its answer: take what is there first.
        char buffer[kReadSize];
        for (int i = 0; i < 64 && Receive(buffer, kReadSize) > 0; ++i) {
        }
        AsyncSelect(0);
        Close();
    }
    delete this;
}
