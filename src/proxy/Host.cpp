#include "proxy/Host.h"

#include "proxy/ConnectionWatchdog.h"
#include "proxy/HeaderFunctions.h"
#include "proxy/Proxy.h"
#include "proxy/TracedSend.h"
#include "trace/TraceAppState.h"
#include "trace/TraceConnection.h"
#include "trace/TraceStore.h"

#include <cstdio>

namespace {

const char kSendTrace[] = "CHost::DoRead Sending to socket=%u total = %u\r\n";

// Reads taken per readiness event: each is its own chunk, but they leave in one send.
constexpr int kReadsPerEvent = 8;
// Reads taken at most when the server has ended (what it sent before its end is finite).
constexpr int kReadsAtEnd = 4096;

bool WouldBlock(int error)
{
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

} // namespace

CHost::CHost(CProxy* proxy)
    : m_pProxy(proxy)
{
}

CHost::~CHost()
{
    if (CTraceConnection* entry = m_pTrace) {
        m_pTrace = nullptr;
        entry->DetachConnection();
        if (HasTraceApp() && TraceApp().m_pTraceStore)
            TraceApp().m_pTraceStore->DropClosedEntry(entry);
    }
    Close();
}

void CHost::Record(int direction, int part, std::string_view bytes)
{
    if (!m_pTrace) {
        // The store dropped the entry while this connection lives: start a new one.
        CTraceStore* store = HasTraceApp() ? TraceApp().m_pTraceStore : nullptr;
        if (!store)
            return;
        m_pTrace = store->AddConnection(this, m_bTunnel != 0);
    }
    m_pTrace->AddChunk(direction, part, bytes);
}

bool CHost::QueueForServer(std::string_view bytes, bool sendNow)
{
    m_SendBuffer.append(bytes);
    Record(0, 1, bytes); // request bytes are recorded as header part, body included
    if (sendNow && m_bConnected)
        return FlushToServer();
    return true;
}

bool CHost::FlushToServer()
{
    if (!m_bConnected || m_bClosed)
        return true;
    if (!m_SendBuffer.empty() && SendFront(*this, m_SendBuffer, kSendTrace) < 0) {
        // The server stopped taking data; what it already answered is still read.
        return ServerEnded(0);
    }
    if (m_SendBuffer.empty() && m_pProxy->IsBrowserDone() && !m_bShutDownSent) {
        // The browser's half-close, passed on once every byte it sent is delivered.
        m_bShutDownSent = true;
        ShutDown(sends);
    }
    return true;
}

bool CHost::FlushToBrowser()
{
    if (m_pProxy->HasPendingReply())
        return true; // the proxy's own reply goes first
    if ((m_nState == 2 || m_bClosed) && !m_RecvBuffer.empty()
        && SendFront(*m_pProxy, m_RecvBuffer, kSendTrace) < 0) {
        m_pProxy->TearDown(); // the browser is gone
        return false;
    }
    if (m_bClosed && m_RecvBuffer.empty()) {
        m_pProxy->TearDown(); // all delivered
        return false;
    }
    return true;
}

void CHost::SendPending()
{
    if (m_bConnected && !m_SendBuffer.empty())
        SendBuffer(*this, m_SendBuffer);
}

int CHost::SendBuffer(CAsyncSocket& socket, CByteQueue& bytes)
{
    const int n = SendFront(socket, bytes, kSendTrace);
    return n > 0 ? n : 0;
}

void CHost::SetReading(bool on)
{
    const long events = on ? kAllEvents : (kAllEvents & ~FD_READ);
    if (events != m_lSelected && IsOpen() && !m_bClosed) {
        AsyncSelect(events);
        m_lSelected = events;
    }
}

void CHost::OnConnect(int errorCode)
{
    CConnectionWatchdog::Instance().ConnectFinished(m_pProxy);
    if (errorCode != 0) {
        // Refused, unreachable or not resolved: the browser gets the 404 page.
        m_pProxy->ConnectFailed();
        return;
    }
    m_bConnected = 1;
    OnSend(0);
}

void CHost::OnSend(int)
{
    if (!FlushToServer())
        return;
    if (!FlushToBrowser())
        return;
    m_pProxy->UpdateFlow();
}

int CHost::DoRead(char* buffer)
{
    const int n = Receive(buffer, CProxy::kReadSize);
    if (n > 0 && DebugTraceOn()) {
        char line[96];
        std::snprintf(line, sizeof line, "CHost::DoRead CHost Read socket=%u bytes=%u\r\n",
                      static_cast<unsigned>(GetSocketHandle()), static_cast<unsigned>(n));
        DebugTrace(line);
    }
    return n;
}

void CHost::OnReceive(int)
{
    if (m_bClosed)
        return;
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
    if (!FlushToBrowser())
        return;
    m_pProxy->UpdateFlow();
}

void CHost::ProcessResponse(std::string_view read)
{
    if (m_bClosed)
        return;
    if (m_bTunnel || m_pProxy->m_bConnect) {
        m_RecvBuffer.append(read);
        Record(1, 1, read);
        return;
    }
    if (m_nState == 2) {
        m_RecvBuffer.append(read);
        Record(1, 2, read);
        return;
    }

    m_Header.append(read);
    const std::size_t end = HeaderEndOffset(m_Header, m_nScanned);
    if (end == 0) {
        m_nScanned = m_Header.size();
        if (m_Header.size() >= CProxy::kBufferLimit) {
            // No header end in sight: pass the bytes on as they are instead of holding them.
            m_nState = 2;
            Record(1, 1, m_Header);
            m_RecvBuffer.append(m_Header);
            m_Header = std::string();
        }
        return;
    }
    // Only the header's end changes (to CR LF CR LF); each byte goes on once, in order.
    m_nState = 2;
    std::string text = m_Header.substr(0, end);
    TerminateHeader(text);
    text.append(m_Header, end, std::string::npos);
    m_Header = std::string();
    Record(1, 1, text);
    m_RecvBuffer.append(text);
}

void CHost::OnClose(int errorCode)
{
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
            if (m_nState == 1) {
                m_Header.append(read);
            } else {
                m_RecvBuffer.append(read);
                Record(1, m_nState, read);
            }
        }
    }
    if (m_nState == 1 && !m_Header.empty()) {
        // The header never completed: the bytes go to the browser as they came.
        Record(1, 1, m_Header);
        m_RecvBuffer.append(m_Header);
        m_Header = std::string();
    }
    m_bClosed = 1;
    AsyncSelect(0);
    m_lSelected = 0;
    Close();
    return m_pProxy->FlushToBrowser();
}
