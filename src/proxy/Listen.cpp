#include "proxy/Listen.h"

#include "proxy/ConnectionRegistry.h"
#include "proxy/Proxy.h"
#include "proxy/ProxyContext.h"

#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
bool OutOfResources(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}
} // namespace

CListen::CListen(CProxyContext& context)
    : m_Context(context)
{
    if (m_Context.DebugTraceOn())
        m_Context.DebugTrace("CListen::CListen\r\n");
}

CListen::~CListen()
{
    Close(); // connections already accepted live on by themselves
}

void CListen::OnAccept(int)
{
    if (m_Context.DebugTraceOn())
        m_Context.DebugTrace("CListen::OnAccept - Create New Proxy\r\n");
    auto accepted = std::make_unique<CProxy>(m_Context);
    if (!Accept(*accepted)) {
        const int error = GetLastError();
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
}

void CListen::SetNoDelay(CAsyncSocket& accepted)
{
    // Relayed chunks go out as they come; waiting to fill a segment only adds latency. A
    // failure is ignored: the connection relays just the same, a little slower.
    const int on = 1;
    switch (m_nNoDelay) {
    case ENoDelay::Unset:
        m_nNoDelay = SetSockOpt(TCP_NODELAY, &on, sizeof on, IPPROTO_TCP) ? ENoDelay::Check
                                                                           : ENoDelay::EachSocket;
        break; // this one was accepted before: it gets its own below
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
    AsyncSelect(FD_ACCEPT | FD_CLOSE);
}
