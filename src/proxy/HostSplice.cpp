// A CONNECT tunnel that is not decrypted, moved with splice(2): its records only ever held the
// count of each read ("N Bytes Encrypted SSL Data") and its exchange only counts its bytes, so
// the bytes need not pass through this process at all.
#include "proxy/Host.h"

#include "platform/SplicePipe.h"
#include "proxy/ExchangeSteps.h"
#include "proxy/HostOwner.h"
#include "proxy/Proxy.h"
#include "proxy/ProxyContext.h"
#include "proxy/TracedSend.h"
#include "trace/TraceConnection.h"
#include "trace/TraceStore.h"

#include <cstdio>

namespace {

// The copies' send line, for the same sends.
const char kSendTrace[] = "CHost::DoRead Sending to socket=%u total = %u\r\n";
// Pipe fills per readiness event while the browser keeps up.
constexpr int kFillsPerEvent = 8;

} // namespace

void CHost::StartSplicing()
{
    if (!m_bTunnel || m_bTls || m_pToServer)
        return;
    auto toServer = std::make_unique<CSplicePipe>();
    auto toBrowser = std::make_unique<CSplicePipe>();
    if (!toServer->Open() || !toBrowser->Open())
        return; // out of descriptors, say: the copies go on
    m_pToServer = std::move(toServer);
    m_pToBrowser = std::move(toBrowser);
}

std::size_t CHost::Held(const CSplicePipe* pipe)
{
    if (!pipe)
        return 0;
    return pipe->IsFull() ? CProxy::kBufferLimit : pipe->Pending();
}

bool CHost::SplicesFromBrowser() const
{
    return m_pToServer && m_SendBuffer.empty() && !m_bClosed;
}

bool CHost::SplicesFromServer() const
{
    // Through the upstream, its answer to the CONNECT is read as it is looked at.
    return m_pToBrowser && m_nState == EResponseStage::Tunnel && m_RecvBuffer.empty()
        && (!m_bViaUpstream || m_bTunnelAnswerSeen);
}

void CHost::RecordSpliced(ETraceDirection direction, std::size_t bytes)
{
    CExchange* tunnel = m_pTunnelExchange.get();
    if (tunnel)
        (direction == ETraceDirection::Sent ? tunnel->m_RequestBody : tunnel->m_ResponseBody)
            .total += bytes;
    if (CTraceConnection* entry = TraceEntry())
        entry->AddEncryptedCount(direction, ETracePart::Header, bytes, tunnel ? tunnel->m_nId : 0);
}

int CHost::SpliceFromBrowser(CAsyncSocket& browser)
{
    const int n = m_pToServer->Fill(browser);
    if (n > 0) {
        m_nQueued += static_cast<std::size_t>(n);
        RecordSpliced(ETraceDirection::Sent, static_cast<std::size_t>(n));
    }
    return n;
}

bool CHost::BrowserMayHaveMore() const
{
    return m_pToServer && m_pToServer->SourceMayHaveMore();
}

bool CHost::DrainToServer()
{
    if (!m_bConnected || m_bClosed)
        return true;
    const int n = DrainFront(*this, *m_pToServer, kSendTrace, m_Owner.Context().TraceStore());
    if (n < 0)
        return ServerEnded(0); // the server stopped taking data; what it sent is still read
    m_nSent += static_cast<std::size_t>(n);
    return true;
}

int CHost::DrainToBrowser()
{
    const int n = DrainFront(m_Owner.BrowserSocket(), *m_pToBrowser, kSendTrace,
                             m_Owner.Context().TraceStore());
    if (n > 0)
        m_nDelivered += static_cast<std::uint64_t>(n);
    return n;
}

void CHost::ReceiveSpliced()
{
    const CProxyContext& context = m_Owner.Context();
    for (int i = 0; i < kFillsPerEvent && !m_pToBrowser->IsFull(); ++i) {
        const int n = m_pToBrowser->Fill(*this);
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
        if (context.DebugTraceOn()) {
            char line[96];
            std::snprintf(line, sizeof line, "CHost::DoRead CHost Read socket=%u bytes=%u\r\n",
                          static_cast<unsigned>(GetSocketHandle()), static_cast<unsigned>(n));
            context.DebugTrace(line);
        }
        if (CExchange* tunnel = m_pTunnelExchange.get(); tunnel && tunnel->m_Times.firstByte == 0)
            tunnel->m_Times.firstByte = ExchangeNow();
        m_nHeld += static_cast<std::uint64_t>(n);
        RecordSpliced(ETraceDirection::Received, static_cast<std::size_t>(n));
        if (!m_Owner.FlushToBrowser())
            return;
        if (m_pToBrowser->Pending() > 0)
            break; // the browser is slower: the rest waits for it to take these
        if (!m_pToBrowser->SourceMayHaveMore())
            break; // spare the read that would find nothing: readiness tells of more
    }
    if (!m_Owner.FlushToBrowser())
        return;
    m_Owner.UpdateFlow();
}
