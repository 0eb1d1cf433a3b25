#include "proxy/ProxyContext.h"

#include "trace/TraceStore.h"

bool CProxyContext::DebugTraceOn() const
{
    return ::DebugTraceOn(TraceStore());
}

void CProxyContext::DebugTrace(std::string_view line) const
{
    ::DebugTrace(TraceStore(), line);
}
