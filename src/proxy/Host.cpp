#include "proxy/Host.h"

#include "proxy/ConnectionWatchdog.h"
#include "http/HeaderFunctions.h"
#include "proxy/Proxy.h"
#include "proxy/ProxyContext.h"
#include "proxy/TlsChannel.h"
#include "proxy/TracedSend.h"
#include "proxy/UpstreamAddress.h"
#include "trace/TraceConnection.h"
#include "trace/TraceStore.h"

#include <cstdio>
#include <utility>

namespace {

const char kSendTrace[] = "CHost::DoRead Sending to socket=%u total = %u\r\n";

// Reads taken per readiness event: each is its own chunk, but they leave in one send.
constexpr int kReadsPerEvent = 8;
// Reads taken at most when the server has ended (what it sent before its end is finite).
constexpr int kReadsAtEnd = 4096;

} // namespace

namespace {
// Unanswered requests kept for a repeat: headers only, so a few kilobytes in practice.
constexpr std::size_t kReplayLimit = 65536;
} // namespace

CHost::CHost(CProxy* proxy, std::string target, std::string host, int port)
    : m_pProxy(proxy)
    , m_strTarget(std::move(target))
    , m_strHost(std::move(host))
    , m_nPort(port)
{
}

CHost::~CHost()
{
    EndTrace();
    Close();
}

void CHost::EndTrace()
{
    m_bTraceEnded = true;
    if (CTraceConnection* entry = m_pTrace) {
        m_pTrace = nullptr;
        entry->DetachConnection();
        if (CTraceStore* store = m_pProxy->Context().TraceStore())
            store->DropClosedEntry(entry);
    }
}

void CHost::Record(ETraceDirection direction, ETracePart part, std::string_view bytes)
{
    if (!m_pTrace) {
        // The store dropped the entry while this connection lives: start a new one.
        CTraceStore* store = m_pProxy->Context().TraceStore();
        if (!store || m_bTraceEnded)
            return;
        m_pTrace = store->AddConnection(this, m_bTunnel);
        if (!m_strOrigin.empty())
            m_pTrace->SetOrigin(m_strOrigin);
    }
    m_pTrace->AddChunk(direction, part, bytes);
}

bool CHost::QueueForServer(std::string_view bytes, bool sendNow)
{
    m_SendBuffer.append(bytes);
    // Request bytes are recorded as header part, body included.
    Record(ETraceDirection::Sent, ETracePart::Header, bytes);
    if (sendNow && m_bConnected)
        return FlushToServer();
    return true;
}

void CHost::QueueRequest(std::string_view header, std::string_view method, bool repeatable)
{
    m_Methods.emplace_back(method);
    m_bReplayable = m_bReplayable && repeatable && m_Replay.size() + header.size() <= kReplayLimit;
    if (m_bReplayable) {
        m_Replay.append(header);
        m_ReplayLengths.push_back(header.size());
    } else {
        m_Replay = std::string();
        m_ReplayLengths.clear();
    }
    QueueForServer(header, false);
}

bool CHost::CanRepeatUnanswered() const
{
    // Only after an answer on this connection (a keep-alive close, not a server that refuses
    // the request) and never after the browser's own end was passed on.
    return m_bClosed && m_bAnswered && !m_bShutDownSent && m_bReplayable && !m_Methods.empty()
        && m_Methods.size() == m_ReplayLengths.size() && m_nState == EResponseStage::Header
        && m_Header.empty() && m_nCloseAt == UINT64_MAX;
}

void CHost::MoveUnansweredTo(CHost& other)
{
    std::size_t offset = 0;
    for (std::size_t i = 0; i < m_ReplayLengths.size(); ++i) {
        other.QueueRequest(std::string_view(m_Replay).substr(offset, m_ReplayLengths[i]),
                           m_Methods[i], true);
        offset += m_ReplayLengths[i];
    }
    m_Methods.clear();
    m_Replay = std::string();
    m_ReplayLengths.clear();
}

void CHost::ForgetLastRequest()
{
    if (!m_Methods.empty())
        m_Methods.pop_back();
    m_bReusable = false;
    m_bReplayable = false;
}

bool CHost::IsReusableFor(const std::string& target) const
{
    return !m_bClosed && !m_bFailed && !m_bTunnel && m_bReusable
        && m_nState != EResponseStage::Tunnel && target == m_strTarget;
}

bool CHost::FlushToServer()
{
    if (!m_bConnected || m_bClosed)
        return true;
    if (!m_SendBuffer.empty()
        && SendFront(*this, m_SendBuffer, kSendTrace, m_pProxy->Context().TraceStore()) < 0) {
        // The server stopped taking data; what it already answered is still read.
        return ServerEnded(0);
    }
    m_SendBuffer.ReleaseIfEmpty(256 * 1024); // a huge header leaves no huge buffer behind
    if (m_SendBuffer.empty() && m_pProxy->IsBrowserDone() && !m_bShutDownSent) {
        // The browser's half-close, passed on once every byte it sent is delivered.
        m_bShutDownSent = true;
        // Fails only on a connection that is already gone, whose end the events report.
        (void)ShutDown(sends);
    }
    return true;
}

CHost::EDelivery CHost::DeliverResponse()
{
    const std::uint64_t limit = m_ResponseEnds.empty() ? m_RecvBuffer.size()
                                                       : m_ResponseEnds.front() - m_nDelivered;
    if (limit > 0 && !m_RecvBuffer.empty()) {
        const int n = SendFront(*m_pProxy, m_RecvBuffer, kSendTrace,
                                m_pProxy->Context().TraceStore(), static_cast<std::size_t>(limit));
        if (n < 0)
            return EDelivery::BrowserGone;
        m_nDelivered += static_cast<std::uint64_t>(n);
    }
    if (!m_ResponseEnds.empty() && m_nDelivered == m_ResponseEnds.front()) {
        m_ResponseEnds.erase(m_ResponseEnds.begin());
        return m_nDelivered == m_nCloseAt ? EDelivery::EndOfPair : EDelivery::Complete;
    }
    if (m_bClosed && m_RecvBuffer.empty())
        return EDelivery::EndOfPair; // nothing more will come for the waiting request
    return EDelivery::Partial;
}

void CHost::SendPending()
{
    if (m_pTls)
        m_pTls->Close(); // close_notify behind what was sent
    if (m_bConnected && !m_SendBuffer.empty())
        SendBuffer(*this, m_SendBuffer);
}

void CHost::Retire()
{
    if (IsOpen() && !m_bClosed) {
        if (m_pTls)
            m_pTls->Close();
        AsyncSelect(0);
        Close();
    }
    m_bClosed = true;
}

int CHost::SendBuffer(CAsyncSocket& socket, CByteQueue& bytes)
{
    const int n = SendFront(socket, bytes, kSendTrace, m_pProxy->Context().TraceStore());
    return n > 0 ? n : 0;
}

void CHost::SetReading(bool on)
{
    const long events = on ? kAllEvents : (kAllEvents & ~FD_READ);
    if (events != m_lSelected && IsOpen() && !m_bClosed) {
        AsyncSelect(events);
        m_lSelected = events;
    }
    if (on)
        PostHeldPlaintext();
}

void CHost::PostHeldPlaintext()
{
    // Decrypted bytes (or the end) that the TLS layer already took from the socket: no socket
    // event announces them, even when reading never stopped.
    if (!m_pTls || !m_pTls->HasUnread() || m_bReceivePosted || m_bClosed || !(m_lSelected & FD_READ))
        return;
    m_bReceivePosted = true;
    m_pTls->Post([this] {
        m_bReceivePosted = false;
        OnReceive(0);
    });
}

void CHost::OnConnect(int errorCode)
{
    if (m_pProxy->IsTornDown())
        return; // closed with its pair; freed with it
    m_pProxy->ReleaseRetired();
    // Over TLS the connect finishes with the handshake (CHost::Receive).
    if (!IsTls() || errorCode != 0)
        CConnectionWatchdog::Instance().ConnectFinished(m_pProxy);
    if (errorCode != 0) {
        // Refused, unreachable or not resolved: the browser gets the 404 page in its turn.
        m_pProxy->ConnectFailed(this);
        return;
    }
    m_bConnected = true;
    if (IsTls())
        StartTls();
    OnSend(0);
}

void CHost::OnSend(int)
{
    if (m_pProxy->IsTornDown())
        return; // closed with its pair; freed with it
    m_pProxy->ReleaseRetired();
    if (m_pTls && !m_pTls->Flush()) {
        ServerEnded(0);
        return;
    }
    if (!FlushToServer())
        return;
    if (!m_pProxy->FlushToBrowser())
        return;
    m_pProxy->UpdateFlow();
}

int CHost::DoRead(char* buffer)
{
    const int n = Receive(buffer, CProxy::kReadSize);
    const CProxyContext& context = m_pProxy->Context();
    if (n > 0 && context.DebugTraceOn()) {
        char line[96];
        std::snprintf(line, sizeof line, "CHost::DoRead CHost Read socket=%u bytes=%u\r\n",
                      static_cast<unsigned>(GetSocketHandle()), static_cast<unsigned>(n));
        context.DebugTrace(line);
    }
    return n;
}

void CHost::OnReceive(int)
{
    if (m_bClosed || m_pProxy->IsTornDown())
        return;
    m_pProxy->ReleaseRetired();
    char buffer[CProxy::kReadSize];
    for (int i = 0; i < kReadsPerEvent && m_RecvBuffer.size() < CProxy::kBufferLimit; ++i) {
        const int n = DoRead(buffer);
        if (n == 0) {
            ServerEnded(0);
            return;
        }
        if (n < 0) {
            if (WouldBlock(GetLastError()))
                break;
            ServerEnded(GetLastError());
            return;
        }
        ProcessResponse(std::string_view(buffer, static_cast<std::size_t>(n)));
        if (n < CProxy::kReadSize)
            break; // drained for now; the next readiness brings the rest
    }
    if (m_pTls) {
        // The handshake may have just let the waiting requests go.
        if (!FlushToServer())
            return;
        if (m_RecvBuffer.size() < CProxy::kBufferLimit)
            PostHeldPlaintext();
    }
    if (!m_pProxy->FlushToBrowser())
        return;
    m_pProxy->UpdateFlow();
}

void CHost::Hold(ETracePart part, std::string_view bytes)
{
    if (bytes.empty())
        return;
    m_RecvBuffer.append(bytes);
    m_nHeld += bytes.size();
    Record(ETraceDirection::Received, part, bytes);
}

void CHost::CheckUpstreamAnswer(std::string_view read)
{
    const bool answerStarts = m_bTunnel ? !m_bTunnelAnswerSeen
                                        : m_nState == EResponseStage::Header && m_Header.empty();
    m_bTunnelAnswerSeen = true;
    if (answerStarts && IsProxyAuthenticationRequired(read))
        m_pProxy->Context().ReportUpstreamRefusal();
}

void CHost::ProcessResponse(std::string_view read)
{
    if (m_bViaUpstream)
        CheckUpstreamAnswer(read);
    while (!read.empty()) {
        switch (m_nState) {
        case EResponseStage::Tunnel:
            // A CONNECT tunnel records its reads as header parts; after a response that opened
            // a tunnel (101, an upstream's answer to CONNECT) they are that response's body.
            Hold(m_bTunnel ? ETracePart::Header : ETracePart::Body, read);
            return;
        case EResponseStage::Body: {
            const std::size_t n = TakeBody(read);
            Hold(ETracePart::Body, read.substr(0, n));
            read.remove_prefix(n);
            if (m_Framer.IsDone())
                CompleteResponse();
            break;
        }
        case EResponseStage::Header:
            read.remove_prefix(TakeHeader(read));
            break;
        }
    }
}

std::size_t CHost::TakeBody(std::string_view bytes)
{
    const std::size_t n = m_Framer.Consume(bytes);
    if (!m_Framer.HasFailed())
        return n;
    // The server's framing broke: what follows can only be relayed until it closes.
    m_bReusable = false;
    m_Framer.Start(CBodyFraming{EBodyKind::UntilClose, 0, false}, true);
    return bytes.size();
}

namespace {

void ReleaseText(std::string& text)
{
    if (text.capacity() > 65536)
        std::string().swap(text); // a huge header leaves no huge buffer behind
    else
        text.clear();
}

} // namespace

std::size_t CHost::TakeHeader(std::string_view read)
{
    const std::size_t before = m_Header.size();
    m_Header.append(read);
    const std::size_t end = HeaderEndOffset(m_Header, m_nScanned);
    if (end == 0) {
        m_nScanned = m_Header.size();
        if (m_Header.size() >= CProxy::kBufferLimit) {
            // No header end in sight: pass the bytes on as they are instead of holding them.
            m_bReusable = false;
            m_Framer.Start(CBodyFraming{EBodyKind::UntilClose, 0, false}, true);
            m_nState = EResponseStage::Body;
            Hold(ETracePart::Header, m_Header);
            ReleaseText(m_Header);
            m_nScanned = 0;
        }
        return read.size();
    }
    const std::size_t used = end - before;
    m_Header.resize(end);
    m_nScanned = 0;
    // Only an end that the CR LF cut finds is normalised; bare-LF headers pass as they came.
    if (HasCrLfHeaderEnd(m_Header))
        TerminateHeader(m_Header);
    const CBodyFraming framing =
        ResponseFraming(m_Header, m_Methods.empty() ? std::string_view() : m_Methods.front());
    if (framing.untrusted && m_pProxy->Context().DebugTraceOn())
        m_pProxy->Context().DebugTrace("CHost::TakeHeader framing fields not trusted: the answer "
                                       "is relayed until the server closes\r\n");
    const std::string_view tail = read.substr(used);
    std::size_t body = 0;
    if (framing.kind == EBodyKind::Tunnel) {
        m_nState = EResponseStage::Tunnel;
        body = tail.size();
    } else if (framing.kind != EBodyKind::Interim) {
        m_bReusable = framing.keepAlive;
        m_Framer.Start(framing, true);
        m_nState = EResponseStage::Body;
        body = TakeBody(tail);
    }
    // The header record carries the body bytes of the same read, as they arrived together.
    m_Header.append(tail.substr(0, body));
    Hold(ETracePart::Header, m_Header);
    ReleaseText(m_Header);
    if (m_nState == EResponseStage::Body && m_Framer.IsDone())
        CompleteResponse();
    if (framing.kind == EBodyKind::Tunnel)
        m_pProxy->SwitchToTunnel(this);
    return used + body;
}

void CHost::CompleteResponse()
{
    if (!m_Methods.empty()) {
        m_Methods.erase(m_Methods.begin());
        m_ResponseEnds.push_back(m_nHeld);
    }
    m_bAnswered = true;
    if (!m_ReplayLengths.empty()) {
        m_Replay.erase(0, m_ReplayLengths.front());
        m_ReplayLengths.erase(m_ReplayLengths.begin());
    } else if (m_Methods.empty()) {
        m_bReplayable = true; // nothing owed any more: later requests may be kept again
    }
    m_nState = EResponseStage::Header;
}

void CHost::EndResponseAtClose()
{
    if (m_nState == EResponseStage::Header) {
        if (m_Header.empty())
            return; // between responses: nothing was cut short
        // The header never completed: the bytes go to the browser as they came.
        Hold(ETracePart::Header, m_Header);
        ReleaseText(m_Header);
    }
    m_nCloseAt = m_nHeld;
    if (!m_Methods.empty()) {
        m_Methods.erase(m_Methods.begin());
        m_ResponseEnds.push_back(m_nHeld);
    }
}

void CHost::OnClose(int errorCode)
{
    if (m_pProxy->IsTornDown())
        return; // closed with its pair; freed with it
    m_pProxy->ReleaseRetired();
    ServerEnded(errorCode);
}

bool CHost::ServerEnded(int errorCode)
{
    if (m_bClosed)
        return m_pProxy->FlushToBrowser();
    if (errorCode == 0) {
        // Everything the server sent before its end is taken, each read one record.
        char buffer[CProxy::kReadSize];
        for (int i = 0; i < kReadsAtEnd; ++i) {
            const int n = DoRead(buffer);
            if (n <= 0)
                break;
            const std::string_view read(buffer, static_cast<std::size_t>(n));
            if (m_nState == EResponseStage::Tunnel)
                Hold(ETracePart::Body, read); // a tunnel's last bytes are recorded as its body
            else
                ProcessResponse(read);
        }
    }
    HoldBadGateway();
    EndResponseAtClose();
    m_bClosed = true;
    AsyncSelect(0);
    m_lSelected = 0;
    Close();
    return m_pProxy->ServerEnded(this);
}
