#include "trace/ResendRequest.h"

#include "trace/Exchange.h"

bool ResendOfExchange(const CExchange& exchange, SResendRequest& request, std::string& error)
{
    if (exchange.Has(kExchangeTunnel) || exchange.Has(kExchangeUpgraded)) {
        error = "a tunnel carries no request that can be sent again";
        return false;
    }
    if (exchange.m_strRequestHead.empty() || exchange.m_strHost.empty() || exchange.m_nPort == 0
        || exchange.m_strMethod.empty()) {
        error = "no request head or route was recorded for it";
        return false;
    }
    if (exchange.m_RequestBody.IsCut()) {
        error = "its request body was not kept whole";
        return false;
    }
    request.https = exchange.m_bHttps;
    request.host = exchange.m_strHost;
    request.port = exchange.m_nPort;
    request.method = exchange.m_strMethod;
    request.target = exchange.m_strTarget;
    request.version = exchange.m_strVersion.empty() ? "HTTP/1.1" : exchange.m_strVersion;
    request.head = exchange.m_strRequestHead;
    request.body = exchange.m_RequestBody.bytes;
    request.replayOf = exchange.m_nId;
    return true;
}
