#include "proxy/Listen.h"

#include "proxy/ConnectionRegistry.h"
#include "proxy/Proxy.h"
#include "proxy/ProxyContext.h"

#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
bool OutOfResources(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Ports the system chose for IPv4 that another program held for IPv6: tries before giving up.
constexpr int kPortTries = 8;

constexpr long kListenEvents = CAsyncSocket::FD_ACCEPT | CAsyncSocket::FD_CLOSE;

bool ListenOn(CAsyncSocket& socket, int port)
{
    // Set before the bind: on this platform it lets a restarted listener bind over connections
    // still in TIME_WAIT (it never allows a second active listener). Its failure is left to the
    // bind, which reports an address that is still taken.
    const int on = 1;
    (void)socket.SetSockOpt(SO_REUSEADDR, &on, sizeof on, SOL_SOCKET);
    // A backlog of 5 would make a burst of browser connections wait for the client's SYN
    // retransmissions (a second and more each) on this platform: take the system's.
    return socket.Bind(port) && socket.Listen(SOMAXCONN);
}

// A browser always speaks first, so the system may hand a connection over only once its first
// bytes are in: one wake-up and one wait fewer per connection. One that stays silent is handed
// over all the same after about this long.
constexpr int kDeferAcceptSeconds = 1;

bool DeferAccept(CAsyncSocket& socket)
{
    return socket.SetSockOpt(TCP_DEFER_ACCEPT, &kDeferAcceptSeconds, sizeof kDeferAcceptSeconds,
                             IPPROTO_TCP);
}
} // namespace

// The IPv6-only socket beside the IPv4 one: what it accepts, the listener takes.
class CListen::CIpv6Side : public CAsyncSocket {
public:
    explicit CIpv6Side(CListen& listen)
        : m_Listen(listen)
    {
    }
    void OnAccept(int) override { m_Listen.AcceptFrom(*this); }

private:
    CListen& m_Listen;
};

CListen::CListen(CProxyContext& context)
    : m_Context(context)
{
    if (m_Context.DebugTraceOn())
        m_Context.DebugTrace("CListen::CListen\r\n");
}

CListen::~CListen()
{
    m_pIpv6.reset();
    Close(); // connections already accepted live on by themselves
}

bool CListen::Open(int port)
{
    for (int i = 0; i < kPortTries; ++i) {
        if (OpenAt(port) || port != 0 || GetLastError() != EADDRINUSE)
            return IsOpen();
    }
    return false;
}

bool CListen::OpenAt(int port)
{
    m_pIpv6.reset();
    Close();
    if (!SocketOf(AF_INET, kListenEvents) || !ListenOn(*this, port)) {
        const int error = GetLastError();
        Close();
        SetLastError(error);
        return false;
    }
    m_bDataFirst = DeferAccept(*this);
    auto ipv6 = std::make_unique<CIpv6Side>(*this);
    if (!ipv6->SocketOf(AF_INET6, kListenEvents))
        return true; // no IPv6 here: IPv4 alone
    if (!ListenOn(*ipv6, GetLocalPort())) {
        const int error = ipv6->GetLastError();
        if (error == EADDRNOTAVAIL)
            return true; // IPv6 without an address to listen on
        Close();
        SetLastError(error);
        return false;
    }
    m_pIpv6 = std::move(ipv6);
    m_bDataFirst = m_bDataFirst && DeferAccept(*m_pIpv6);
    return true;
}

void CListen::OnAccept(int) { AcceptFrom(*this); }

void CListen::AcceptFrom(CAsyncSocket& listener)
{
    if (m_Context.DebugTraceOn())
        m_Context.DebugTrace("CListen::OnAccept - Create New Proxy\r\n");
    auto accepted = std::make_unique<CProxy>(m_Context);
    if (!listener.Accept(*accepted)) {
        const int error = listener.GetLastError();
        accepted.reset();
        if (OutOfResources(error))
            BackOff(error);
        return;
    }
    CProxy* proxy = &m_Context.Connections().Adopt(std::move(accepted));
    if (m_bExhausted) {
        m_bExhausted = false;
        std::fprintf(stderr, "Kestrune: accepting connections again\n");
    }
    SetNoDelay(*proxy);
    proxy->AsyncSelect(kAllEvents);
    if (m_bDataFirst)
        proxy->ReceiveDue(); // the request is in already: read it without another wait
}

void CListen::SetNoDelay(CAsyncSocket& accepted)
{
    // Relayed chunks go out as they come; waiting to fill a segment only adds latency. A
    // failure is ignored: the connection relays just the same, a little slower.
    const int on = 1;
    switch (m_nNoDelay) {
    case ENoDelay::Unset: {
        const bool set =
            SetSockOpt(TCP_NODELAY, &on, sizeof on, IPPROTO_TCP)
            && (!m_pIpv6 || m_pIpv6->SetSockOpt(TCP_NODELAY, &on, sizeof on, IPPROTO_TCP));
        m_nNoDelay = set ? ENoDelay::Check : ENoDelay::EachSocket;
        break; // this one was accepted before: it gets its own below
    }
    case ENoDelay::Check: {
        int value = 0;
        int length = sizeof value;
        const bool inherited =
            accepted.GetSockOpt(TCP_NODELAY, &value, &length, IPPROTO_TCP) && value != 0;
        m_nNoDelay = inherited ? ENoDelay::Inherited : ENoDelay::EachSocket;
        break;
    }
    case ENoDelay::Inherited:
    case ENoDelay::EachSocket:
        break;
    }
    if (m_nNoDelay != ENoDelay::Inherited)
        (void)accepted.SetSockOpt(TCP_NODELAY, &on, sizeof on, IPPROTO_TCP);
}

void CListen::BackOff(int error)
{
    if (!m_bExhausted) {
        m_bExhausted = true;
        std::fprintf(stderr, "Kestrune: cannot accept connections (%s); retrying every %d ms\n",
                     std::strerror(error), kBackOffMs);
    }
    if (m_Context.DebugTraceOn())
        m_Context.DebugTrace("CListen::OnAccept - out of resources, backing off\r\n");
    m_bBackingOff = true;
    AsyncSelect(0);
    if (m_pIpv6)
        m_pIpv6->AsyncSelect(0);
    if (!m_pResume) {
        m_pResume = std::make_unique<QTimer>();
        m_pResume->setSingleShot(true);
        QObject::connect(m_pResume.get(), &QTimer::timeout, [this] { Resume(); });
    }
    m_pResume->start(kBackOffMs);
}

void CListen::Resume()
{
    m_bBackingOff = false;
    AsyncSelect(kListenEvents);
    if (m_pIpv6)
        m_pIpv6->AsyncSelect(kListenEvents);
}
