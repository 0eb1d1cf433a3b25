#include "proxy/TlsChannel.h"

#include "platform/AsyncSocket.h"
#include "tls/TlsSession.h"
#include "trace/TraceStore.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cstring>

CTlsChannel::CTlsChannel(CAsyncSocket& socket, std::unique_ptr<CTlsSession> session)
    : m_socket(socket)
    , m_pSession(std::move(session))
{
    Collect(); // a client's first flight is ready at once
    Flush();
}

CTlsChannel::~CTlsChannel() = default;

void CTlsChannel::Collect()
{
    m_pSession->AppendCiphertext(m_Out);
    if (m_pSession->GetPlaintextSize() > 0) {
        m_bGotPlaintext = true;
        if (m_nPlainTaken == m_Plain.size()) {
            m_Plain.clear();
            m_nPlainTaken = 0;
            m_pSession->SwapPlaintext(m_Plain);
        } else {
            m_Plain += m_pSession->TakePlaintext();
        }
    }
    if (m_pSession->HasPeerClosed())
        m_bEnded = true;
}

bool CTlsChannel::Flush()
{
    m_bHeld = false;
    while (!m_Out.empty()) {
        const int n = m_socket.CAsyncSocket::Send(m_Out.data(), static_cast<int>(std::min<std::size_t>(
                                                                    m_Out.size(), 1 << 20)));
        if (n <= 0)
            return n == 0 || WouldBlock(m_socket.GetLastError());
        m_Out.erase(0, static_cast<std::size_t>(n));
    }
    return true;
}

void CTlsChannel::Put(const std::string& ciphertext)
{
    m_pSession->PutCiphertext(ciphertext);
    Collect();
    Flush();
}

void CTlsChannel::PutLater(const std::string& ciphertext)
{
    m_pSession->HoldCiphertext(ciphertext);
    m_bWaiting = true;
}

void CTlsChannel::Start()
{
    if (!m_bWaiting)
        return;
    m_bWaiting = false;
    m_pSession->Continue();
    Collect();
    Flush();
}

void CTlsChannel::SendAhead(const std::string& bytes)
{
    m_Out.insert(0, bytes);
    Flush();
}

int CTlsChannel::Receive(char* data, int length, int& error)
{
    char buffer[16384 + 64];
    for (;;) {
        if (HasPlaintext()) {
            const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length),
                                                        m_Plain.size() - m_nPlainTaken);
            std::memcpy(data, m_Plain.data() + m_nPlainTaken, n);
            m_nPlainTaken += n;
            return static_cast<int>(n);
        }
        if (m_pSession->GetStatus() == TlsStatus::Failed) {
            error = kTlsFailed;
            return -1;
        }
        if (m_bEnded)
            return 0;
        if (m_bWaiting) {
            error = WSAEWOULDBLOCK; // the readiness is told again once the handshake started
            return -1;
        }
        const int n = m_socket.CAsyncSocket::Receive(buffer, static_cast<int>(sizeof buffer));
        if (n < 0) {
            error = m_socket.GetLastError();
            // A browser that sent no request yet (a preconnect) gets its tickets now.
            if (m_bHeld && !m_bGotPlaintext && !Flush())
                error = m_socket.GetLastError();
            return -1;
        }
        const bool handshaking = m_pSession->GetStatus() == TlsStatus::Handshaking;
        if (n == 0) {
            m_pSession->PutEndOfStream();
            m_bEnded = true;
        } else {
            m_pSession->PutCiphertext(buffer, static_cast<std::size_t>(n));
        }
        Collect();
        // The browser's Finished makes TLS 1.2's session ticket; the request behind it is
        // relayed first, and the ticket goes out with the answer: one send, and one wake of
        // the browser, fewer. TLS 1.3's ticket is made after that request has gone.
        if (handshaking && m_pSession->IsOpen() && m_pSession->GetRole() == TlsRole::Server) {
            if (!m_Out.empty())
                m_bHeld = true;
            Post([this] { SendTicket(); });
        }
        if (!m_bHeld && !Flush()) {
            error = m_socket.GetLastError();
            return -1;
        }
    }
}

int CTlsChannel::Send(const char* data, int length, int& error)
{
    const bool held = m_bHeld; // they go with these bytes, in one send
    if (!held && !Flush()) {
        error = m_socket.GetLastError();
        return -1;
    }
    if (m_pSession->GetStatus() == TlsStatus::Failed) {
        error = kTlsFailed;
        return -1;
    }
    // Ciphertext still waiting means the socket refused a send: its OnSend follows.
    if ((!m_Out.empty() && !held) || m_pSession->GetQueuedPlaintextSize() >= kMaxPlaintextPerSend) {
        error = WSAEWOULDBLOCK;
        return -1;
    }
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length), kMaxPlaintextPerSend);
    m_pSession->QueuePlaintext(data, n);
    m_bAnswered = true;
    Collect();
    if (!Flush()) {
        error = m_socket.GetLastError();
        return -1;
    }
    // A short send promises the owner an OnSend for the rest; when the socket took everything
    // it will not give one, so the channel does.
    if (n < static_cast<std::size_t>(length) && m_Out.empty())
        Post([this] { m_socket.OnSend(0); });
    return static_cast<int>(n);
}

void CTlsChannel::SendTicket()
{
    if (!m_pSession->IssueTicket())
        return;
    Collect();
    // Made while the request is on its way to the origin, it waits for the answer; a browser
    // that sent no request yet (a preconnect), or was answered already, gets it now.
    if (m_bGotPlaintext && !m_bAnswered)
        m_bHeld = true;
    else
        Flush();
}

void CTlsChannel::Close()
{
    if (m_pSession->GetStatus() == TlsStatus::Open && !m_pSession->HasSentCloseNotify())
        m_pSession->Shutdown();
    Collect();
    Flush();
}

std::size_t CTlsChannel::Pending() const
{
    return m_Out.size() + m_pSession->GetCiphertextSize() + m_pSession->GetQueuedPlaintextSize();
}

bool CTlsChannel::IsDrained() const
{
    return m_Out.empty() && m_pSession->GetCiphertextSize() == 0;
}

void CTlsChannel::Post(std::function<void()> fn)
{
    std::weak_ptr<int> alive = m_pAlive;
    QTimer::singleShot(0, QCoreApplication::instance(), [alive, fn = std::move(fn)] {
        if (alive.lock())
            fn();
    });
}

std::function<void(const std::string&)>& TlsProblemSink()
{
    static std::function<void(const std::string&)> sink;
    return sink;
}

void ReportTlsProblem(CTraceStore* trace, const std::string& line)
{
    if (TlsProblemSink())
        TlsProblemSink()(line); // stderr carries the debug lines too: once is enough
    else if (trace)
        trace->AppendDebugNotice(line + "\r\n");
}
