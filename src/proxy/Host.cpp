#include "proxy/Host.h"

#include "http/HeaderFunctions.h"
#include "http/HttpHead.h"
#include "platform/SplicePipe.h"
#include "proxy/ExchangeSteps.h"
#include "proxy/HostOwner.h"
#include "proxy/Proxy.h"
#include "proxy/ProxyContext.h"
#include "proxy/TlsChannel.h"
#include "proxy/TracedSend.h"
#include "proxy/UpstreamAddress.h"
#include "tls/TlsSession.h"
#include "trace/TraceConnection.h"
#include "trace/TraceStore.h"

#include <algorithm>
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

CHost::CHost(CHostOwner& owner, SRoute route)
    : m_Owner(owner)
    , m_Route(std::move(route))
{
    m_bViaUpstream = m_Route.viaUpstream && m_Route.kind != SRoute::EKind::TlsOrigin;
}

CHost::~CHost()
{
    RecycleExchange(m_pLastAnswered);
    EndTrace();
    Close();
}

void CHost::EndTrace()
{
    m_bTraceEnded = true;
    if (CTraceConnection* entry = m_pTrace) {
        m_pTrace = nullptr;
        entry->DetachConnection();
        if (CTraceStore* store = m_Owner.Context().TraceStore())
            store->DropClosedEntry(entry);
    }
}

int CHost::TraceId() const
{
    return m_pTrace ? m_pTrace->GetId() : 0;
}

CTraceConnection* CHost::TraceEntry()
{
    if (!m_pTrace) {
        // The entry starts with the first chunk (a tunnel's is made once it is known whether
        // it is decrypted), or again after the store dropped it while this connection lives.
        CTraceStore* store = m_Owner.Context().TraceStore();
        if (!store || m_bTraceEnded)
            return nullptr;
        m_pTrace = store->AddConnection(this, m_bTunnel);
        if (!m_strOrigin.empty())
            m_pTrace->SetOrigin(m_strOrigin);
    }
    return m_pTrace;
}

void CHost::Record(ETraceDirection direction, ETracePart part, std::string_view bytes,
                   std::uint64_t exchange, const SResponseHead* head)
{
    if (CTraceConnection* entry = TraceEntry())
        entry->AddChunk(direction, part, bytes, exchange, head);
}

bool CHost::KeepsBodies() const
{
    const CTraceStore* store = m_Owner.Context().TraceStore();
    return store && store->KeepsExchangeBodies();
}

bool CHost::QueueForServer(std::string_view bytes, CExchange* exchange, bool sendNow)
{
    m_SendBuffer.append(bytes);
    m_nQueued += bytes.size();
    if (exchange) {
        // Tunnel bytes are counted, never kept: they are another protocol (or ciphertext).
        AddBodyBytes(exchange->m_RequestBody, bytes,
                     KeepsBodies() && m_nState != EResponseStage::Tunnel);
        if (!m_Owed.empty() && m_Owed.back().exchange.get() == exchange) {
            m_Owed.back().queuedEnd = m_nQueued; // its body follows its head
            m_Owed.back().sentPending = true;
        }
    }
    // A tunnel's bytes are recorded as header parts, as its entry always showed them.
    const CExchange* tagged = exchange ? exchange : m_pTunnelExchange.get();
    Record(ETraceDirection::Sent, m_bTunnel ? ETracePart::Header : ETracePart::Body, bytes,
           tagged ? tagged->m_nId : 0);
    if (sendNow && m_bConnected)
        return FlushToServer();
    return true;
}

void CHost::QueueRequest(std::string_view header, std::shared_ptr<CExchange> exchange,
                         bool repeatable)
{
    m_SendBuffer.append(header);
    m_nQueued += header.size();
    Record(ETraceDirection::Sent, ETracePart::Header, header, exchange->m_nId);
    exchange->m_nServerConnection = TraceId();
    m_Owed.push_back(SOwed{std::move(exchange), m_nQueued, m_nQueued, true, header.size()});
    m_bReplayable = m_bReplayable && repeatable && m_nReplayBytes + header.size() <= kReplayLimit;
    if (m_bReplayable) {
        ++m_nReplayCount;
        m_nReplayBytes += header.size();
    } else {
        m_nReplayCount = 0;
        m_nReplayBytes = 0;
    }
}

bool CHost::CanRepeatUnanswered() const
{
    // Only after an answer on this connection (a keep-alive close, not a server that refuses
    // the request) and never after the browser's own end was passed on.
    return m_bClosed && m_bAnswered && !m_bShutDownSent && m_bReplayable && !m_Owed.empty()
        && m_Owed.size() == m_nReplayCount && m_nState == EResponseStage::Header
        && m_Header.empty() && m_nCloseAt == UINT64_MAX;
}

void CHost::MoveUnansweredTo(CHost& other)
{
    for (std::size_t i = 0; i < m_nReplayCount && i < m_Owed.size(); ++i) {
        // The head as it went out: the forwarded one when it was changed on the way.
        const CExchange& exchange = *m_Owed[i].exchange;
        const std::string& head = exchange.m_strForwardedHead.empty() ? exchange.m_strRequestHead
                                                                      : exchange.m_strForwardedHead;
        other.QueueRequest(head, m_Owed[i].exchange, true);
    }
    m_Owed.clear();
    m_nReplayCount = 0;
    m_nReplayBytes = 0;
}

void CHost::ForgetLastRequest()
{
    if (!m_Owed.empty())
        m_Owed.pop_back();
    m_bReusable = false;
    m_bReplayable = false;
}

bool CHost::IsReusableFor(const SRoute& route) const
{
    return !m_bClosed && !m_bFailed && !m_bTunnel && m_bReusable
        && m_nState != EResponseStage::Tunnel && m_Route.SharesConnectionWith(route);
}

void CHost::SetTunnel(std::shared_ptr<CExchange> exchange)
{
    m_bTunnel = true;
    m_nState = EResponseStage::Tunnel;
    m_pTunnelExchange = std::move(exchange);
}

CExchange* CHost::Receiving() const
{
    if (!m_Owed.empty())
        return m_Owed.front().exchange.get();
    return m_pTunnelExchange.get();
}

void CHost::StampOwed(std::int64_t SExchangeTimes::*step)
{
    const std::int64_t now = ExchangeNow();
    for (SOwed& owed : m_Owed) {
        if (owed.exchange->m_Times.*step == 0)
            owed.exchange->m_Times.*step = now;
    }
}

void CHost::StampSent()
{
    // Stamped again when more of a body has gone: the last stamp is its last byte's.
    std::int64_t now = 0;
    for (SOwed& owed : m_Owed) {
        if (owed.queuedEnd > m_nSent)
            break;
        if (owed.sentPending) {
            if (now == 0)
                now = ExchangeNow();
            owed.exchange->m_Times.requestSent = now;
            owed.sentPending = false;
        }
    }
}

namespace {

// Whether bytes may begin a status line ("HTTP/"), as far as they go; empty lines before it
// are tolerated, as clients do.
bool MayStartStatusLine(std::string_view bytes)
{
    while (!bytes.empty() && (bytes.front() == '\r' || bytes.front() == '\n'))
        bytes.remove_prefix(1);
    const std::string_view start("HTTP/");
    return bytes.substr(0, start.size()) == start.substr(0, std::min(bytes.size(), start.size()));
}

} // namespace

bool CHost::FlushToServer()
{
    if (!m_bConnected || m_bClosed)
        return true;
    if (!m_SendBuffer.empty()) {
        const int n = SendFront(*this, m_SendBuffer, kSendTrace, m_Owner.Context().TraceStore());
        if (n < 0)
            return ServerEnded(0); // the server stopped taking data; its answers are still read
        m_nSent += static_cast<std::uint64_t>(n);
        if (n > 0 && !m_Owed.empty())
            StampSent();
    }
    if (m_pToServer && !DrainToServer())
        return false;
    m_SendBuffer.ReleaseIfEmpty(256 * 1024); // a huge header leaves no huge buffer behind
    if (m_SendBuffer.empty() && Held(m_pToServer.get()) == 0 && m_Owner.IsBrowserDone()
        && !m_bShutDownSent) {
        // The browser's half-close, passed on once every byte it sent is delivered.
        m_bShutDownSent = true;
        // Fails only on a connection that is already gone, whose end the events report.
        (void)ShutDown(sends);
    }
    return true;
}

CHost::EDelivery CHost::DeliverResponse()
{
    // Spliced bytes are older than any copied after them (the tunnel's last reads).
    if (m_pToBrowser && DrainToBrowser() < 0)
        return EDelivery::BrowserGone;
    if (Held(m_pToBrowser.get()) > 0)
        return EDelivery::Partial;
    const std::uint64_t limit = m_ResponseEnds.empty() ? m_RecvBuffer.size()
                                                       : m_ResponseEnds.front().end - m_nDelivered;
    if (limit > 0 && !m_RecvBuffer.empty()) {
        const int n = SendFront(m_Owner.BrowserSocket(), m_RecvBuffer, kSendTrace,
                                m_Owner.Context().TraceStore(), static_cast<std::size_t>(limit));
        if (n < 0)
            return EDelivery::BrowserGone;
        m_nDelivered += static_cast<std::uint64_t>(n);
    }
    if (!m_ResponseEnds.empty() && m_nDelivered == m_ResponseEnds.front().end) {
        const SHeldEnd held = std::move(m_ResponseEnds.front());
        m_ResponseEnds.erase(m_ResponseEnds.begin());
        // The browser has the whole response: its exchange ends as the response ended.
        EndExchange(m_Owner.Context().TraceStore(), *held.exchange, held.state);
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
    if (m_bConnected && m_pToServer)
        DrainFront(*this, *m_pToServer, kSendTrace, m_Owner.Context().TraceStore());
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
    const int n = SendFront(socket, bytes, kSendTrace, m_Owner.Context().TraceStore());
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

void CHost::OnResolved()
{
    StampOwed(&SExchangeTimes::resolved);
    if (m_pTunnelExchange)
        m_pTunnelExchange->m_Times.resolved = ExchangeNow();
}

void CHost::OnConnect(int errorCode)
{
    if (m_Owner.IsTornDown())
        return; // closed with its pair; freed with it
    m_Owner.ReleaseRetired();
    // Over TLS the connect finishes with the handshake (CHost::Receive).
    if (!IsTls() || errorCode != 0)
        m_Owner.ServerConnected(this);
    if (errorCode != 0) {
        // Refused, unreachable or not resolved: the browser gets the 404 page in its turn.
        m_Owner.ConnectFailed(this);
        return;
    }
    m_bConnected = true;
    StampOwed(&SExchangeTimes::connected);
    if (m_pTunnelExchange)
        m_pTunnelExchange->m_Times.connected = ExchangeNow();
    if (IsTls())
        StartTls();
    OnSend(0);
}

void CHost::OnSend(int)
{
    if (m_Owner.IsTornDown())
        return; // closed with its pair; freed with it
    m_Owner.ReleaseRetired();
    if (m_pTls && !m_pTls->Flush()) {
        ServerEnded(0);
        return;
    }
    if (!FlushToServer())
        return;
    if (!m_Owner.FlushToBrowser())
        return;
    m_Owner.UpdateFlow();
}

int CHost::DoRead(char* buffer)
{
    const int n = Receive(buffer, CProxy::kReadSize);
    const CProxyContext& context = m_Owner.Context();
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
    if (m_bClosed || m_Owner.IsTornDown())
        return;
    m_Owner.ReleaseRetired();
    if (SplicesFromServer()) {
        ReceiveSpliced();
        return;
    }
    char buffer[CProxy::kReadSize];
    for (int i = 0; i < kReadsPerEvent && m_RecvBuffer.size() < CProxy::kBufferLimit && !m_bClosed;
         ++i) {
        const int n = DoRead(buffer);
        if (n == 0) {
            ServerEnded(0, true);
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
        if (!m_bTlsDone && m_pTls->Session().IsOpen()) {
            m_bTlsDone = true;
            StampOwed(&SExchangeTimes::tlsDone);
        }
        // The handshake may have just let the waiting requests go.
        if (!FlushToServer())
            return;
        if (m_RecvBuffer.size() < CProxy::kBufferLimit)
            PostHeldPlaintext();
    }
    if (!m_Owner.FlushToBrowser())
        return;
    m_Owner.UpdateFlow();
}

void CHost::Hold(ETracePart part, std::string_view bytes, const SResponseHead* head)
{
    if (bytes.empty())
        return;
    m_RecvBuffer.append(bytes);
    m_nHeld += bytes.size();
    const CExchange* exchange = Receiving();
    Record(ETraceDirection::Received, part, bytes, exchange ? exchange->m_nId : 0, head);
}

void CHost::CheckUpstreamAnswer(std::string_view read)
{
    const bool answerStarts = m_bTunnel ? !m_bTunnelAnswerSeen
                                        : m_nState == EResponseStage::Header && m_Header.empty();
    m_bTunnelAnswerSeen = true;
    if (answerStarts && m_bTunnel && m_pTunnelExchange) // the upstream's answer to the CONNECT
        m_pTunnelExchange->m_nStatus = ParseStatusCode(read.substr(0, read.find_first_of("\r\n")));
    if (answerStarts && IsProxyAuthenticationRequired(read))
        m_Owner.Context().ReportUpstreamRefusal();
}

void CHost::ProcessResponse(std::string_view read)
{
    if (m_bViaUpstream)
        CheckUpstreamAnswer(read);
    while (!read.empty() && !m_bClosed) {
        if (CExchange* exchange = Receiving(); exchange && exchange->m_Times.firstByte == 0)
            exchange->m_Times.firstByte = ExchangeNow();
        switch (m_nState) {
        case EResponseStage::Tunnel:
            // A CONNECT tunnel records its reads as header parts; after a response that opened
            // a tunnel (101, an upstream's answer to CONNECT) they are that response's body.
            if (CExchange* exchange = Receiving())
                AddBodyBytes(exchange->m_ResponseBody, read, false);
            Hold(m_bTunnel ? ETracePart::Header : ETracePart::Body, read);
            return;
        case EResponseStage::Body: {
            const std::size_t n = TakeBody(read);
            if (CExchange* exchange = Receiving())
                AddBodyBytes(exchange->m_ResponseBody, read.substr(0, n), KeepsBodies());
            Hold(ETracePart::Body, read.substr(0, n));
            read.remove_prefix(n);
            if (m_Framer.IsDone())
                CompleteResponse();
            break;
        }
        case EResponseStage::Header:
            // No response may begin before its request is out, nor anything but a status line
            // after a complete response: such bytes answer nothing the browser asked.
            if (m_Header.empty()
                && (m_Owed.empty() || m_Owed.front().headEnd > m_nSent
                    || (m_bAnswered && !MayStartStatusLine(read)))) {
                DropUnexpected(read.size());
                return;
            }
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

namespace {

// A header that ends in CR LF CR LF after a byte that is no line end: normalising its end
// changes none of its bytes.
bool HasPlainHeaderEnd(std::string_view header)
{
    return header.size() > 4 && header.ends_with("\r\n\r\n") && header[header.size() - 5] != '\r'
        && header[header.size() - 5] != '\n';
}

} // namespace

std::size_t CHost::TakeHeader(std::string_view read)
{
    CExchange* exchange = Receiving();
    const std::string_view method =
        exchange ? std::string_view(exchange->m_strMethod) : std::string_view();
    // The fields are for the record's texts and decoder: none are made when no one reads them.
    const CTraceStore* store = m_Owner.Context().TraceStore();
    const bool withFields = !store || store->ReadsRecordTexts();
    // The usual head comes whole at the start of one read: it is read where it lies, its end
    // found in the same pass.
    std::string_view header;
    std::size_t used = 0;
    if (m_Header.empty()) {
        const std::size_t end = ReadResponseHeadIn(read, method, m_ResponseHead, withFields);
        if (end != 0 && HasPlainHeaderEnd(read.substr(0, end))) {
            header = read.substr(0, end);
            used = end;
        } else {
            m_ResponseHead.fields.clear(); // no views into a read that is not kept
        }
    }
    if (header.empty()) {
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
        used = end - before;
        m_Header.resize(end);
        m_nScanned = 0;
        // Only an end that the CR LF cut finds is normalised; bare-LF headers pass as they came.
        if (HasCrLfHeaderEnd(m_Header))
            TerminateHeader(m_Header);
        // The head is read once, for the framing here and for its record: its views into
        // m_Header must last until it is recorded, with the body bytes of this read behind it.
        m_Header.reserve(m_Header.size() + (read.size() - used));
        header = m_Header;
        ReadResponseHead(header, method, m_ResponseHead, withFields);
    }
    const std::string_view tail = read.substr(used);
    const CBodyFraming framing = m_ResponseHead.framing;
    if (exchange && framing.kind != EBodyKind::Interim) {
        // The final answer's head (interim 1xx heads are not kept apart).
        const std::size_t lineEnd = LineBreakOffset(header);
        const std::string_view line = header.substr(0, lineEnd);
        // The code the head was read with, unless a bare CR cut the status line shorter here.
        const bool sameLine = lineEnd < header.size()
            && (header[lineEnd] == '\n' || (lineEnd + 1 < header.size() && header[lineEnd + 1] == '\n'));
        exchange->m_nStatus = sameLine ? m_ResponseHead.status : ParseStatusCode(line);
        const std::size_t space = line.find(' ', line.find(' ') + 1);
        exchange->m_strReason.assign(space == std::string_view::npos ? std::string_view()
                                                                     : line.substr(space + 1));
        exchange->m_strResponseHead.assign(header);
        if (framing.kind == EBodyKind::Tunnel)
            exchange->m_nFlags |= kExchangeUpgraded;
    }
    if (framing.untrusted && m_Owner.Context().DebugTraceOn())
        m_Owner.Context().DebugTrace("CHost::TakeHeader framing fields not trusted: the answer "
                                     "is relayed until the server closes\r\n");
    std::size_t body = 0;
    if (framing.kind == EBodyKind::Tunnel) {
        m_nState = EResponseStage::Tunnel;
        body = tail.size();
    } else if (framing.kind != EBodyKind::Interim) {
        m_bReusable = framing.keepAlive;
        m_Framer.Start(framing, true);
        m_nState = EResponseStage::Body;
        body = TakeBody(tail);
        if (exchange)
            AddBodyBytes(exchange->m_ResponseBody, tail.substr(0, body), KeepsBodies());
    }
    // The header record carries the body bytes of the same read, as they arrived together.
    std::string_view chunk;
    if (header.data() == read.data()) {
        chunk = read.substr(0, used + body);
    } else {
        m_Header.append(tail.substr(0, body));
        chunk = m_Header;
    }
    Hold(ETracePart::Header, chunk, &m_ResponseHead);
    m_ResponseHead.fields.clear(); // its views end with the header's bytes
    ReleaseText(m_Header);
    if (m_nState == EResponseStage::Body && m_Framer.IsDone())
        CompleteResponse();
    if (framing.kind == EBodyKind::Tunnel)
        m_Owner.SwitchToTunnel(this);
    return used + body;
}

void CHost::EndFrontResponse(EExchangeEnd state)
{
    if (m_Owed.empty())
        return;
    RecycleExchange(m_pLastAnswered);
    m_pLastAnswered = std::move(m_Owed.front().exchange);
    m_Owed.erase(m_Owed.begin());
    m_ResponseEnds.push_back(SHeldEnd{m_nHeld, m_pLastAnswered, state});
}

void CHost::DropUnexpected(std::size_t bytes)
{
    CExchange* last = m_pLastAnswered.get();
    if (last)
        last->m_nUnexpectedBytes += bytes;
    if (!m_bDropped) {
        m_bDropped = true;
        std::string line = "Kestrune: " + std::to_string(bytes) + " bytes from "
            + m_Route.connectHost + ":" + std::to_string(m_Route.connectPort)
            + (last ? " after the response to " + last->m_strMethod + " " + last->Url()
                    : std::string(" that no request asked for"))
            + " were not relayed; that server connection is closed";
        if (CTraceStore* store = m_Owner.Context().TraceStore())
            store->AppendDebugNotice(line + "\r\n");
    }
    m_bReusable = false;
    Retire();
    m_Owner.ServerDropped(this);
}

void CHost::CompleteResponse()
{
    const std::size_t answeredHead = m_Owed.empty() ? 0 : m_Owed.front().headBytes;
    EndFrontResponse(EExchangeEnd::Complete);
    m_bAnswered = true;
    if (m_nReplayCount > 0) {
        --m_nReplayCount;
        m_nReplayBytes -= std::min(m_nReplayBytes, answeredHead);
    } else if (m_Owed.empty()) {
        m_bReplayable = true; // nothing owed any more: later requests may be kept again
    }
    m_nState = EResponseStage::Header;
}

void CHost::EndResponseAtClose()
{
    EExchangeEnd state = EExchangeEnd::Truncated;
    if (m_nState == EResponseStage::Header) {
        if (m_Header.empty())
            return; // between responses: nothing was cut short
        // The header never completed: the bytes go to the browser as they came.
        Hold(ETracePart::Header, m_Header);
        ReleaseText(m_Header);
    } else if (m_nState == EResponseStage::Body && m_Framer.IsUntilClose()) {
        // The close is this body's end; over TLS only with the origin's close_notify.
        if (!m_pTls || m_pTls->Session().HasPeerSentCloseNotify())
            state = EExchangeEnd::Complete;
    } else if (m_nState == EResponseStage::Tunnel) {
        state = EExchangeEnd::Complete;
    }
    m_nCloseAt = m_nHeld;
    EndFrontResponse(state);
}

void CHost::OnClose(int errorCode)
{
    if (m_Owner.IsTornDown())
        return; // closed with its pair; freed with it
    m_Owner.ReleaseRetired();
    ServerEnded(errorCode);
}

bool CHost::ServerEnded(int errorCode, bool endRead)
{
    if (m_bClosed)
        return m_Owner.FlushToBrowser();
    if (errorCode == 0 && !endRead) {
        // Everything the server sent before its end is taken, each read one record.
        char buffer[CProxy::kReadSize];
        for (int i = 0; i < kReadsAtEnd && !m_bClosed; ++i) {
            const int n = DoRead(buffer);
            if (n <= 0)
                break;
            const std::string_view read(buffer, static_cast<std::size_t>(n));
            if (m_nState == EResponseStage::Tunnel) {
                if (CExchange* exchange = Receiving())
                    AddBodyBytes(exchange->m_ResponseBody, read, false);
                Hold(ETracePart::Body, read); // a tunnel's last bytes are recorded as its body
            } else {
                ProcessResponse(read);
            }
        }
        if (m_bClosed)
            return m_Owner.FlushToBrowser(); // dropped for what it sent after its answers
    }
    HoldBadGateway();
    EndResponseAtClose();
    m_bClosed = true;
    AsyncSelect(0);
    m_lSelected = 0;
    Close();
    return m_Owner.ServerEnded(this);
}
