#include "proxy/Listen.h"

#include "proxy/Proxy.h"
#include "trace/TraceAppState.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

CListen::CListen()
{
    if (DebugTraceOn())
        DebugTrace("CListen::CListen\r\n");
}

CListen::~CListen()
{
    Close(); // connections already accepted live on by themselves
}

void CListen::OnAccept(int)
{
    if (DebugTraceOn())
        DebugTrace("CListen::OnAccept - Create New Proxy\r\n");
    CProxy* proxy = new CProxy();
    if (!Accept(*proxy)) {
        delete proxy;
        return;
    }
    // Relayed chunks go out as they come; waiting to fill a segment only adds latency.
    const int on = 1;
    proxy->SetSockOpt(TCP_NODELAY, &on, sizeof on, IPPROTO_TCP);
    proxy->AsyncSelect(kAllEvents);
}
