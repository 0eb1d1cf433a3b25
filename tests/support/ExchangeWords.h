#pragma once
#include "http/HttpHead.h"
#include "trace/Exchange.h"
#include "trace/TraceStore.h"

#include <memory>
#include <string>

// An exchange as the relay would leave it, from the message texts: the request head through its
// blank line and its body; the response likewise (empty: none came). Routed to host:port.
inline std::shared_ptr<CExchange> MakeExchange(CTraceStore& store, const std::string& request,
                                               const std::string& response, const std::string& host,
                                               std::uint16_t port, bool https = false)
{
    auto exchange = store.AddExchange();
    CExchange& e = *exchange;
    e.m_bHttps = https;
    e.m_strHost = host;
    e.m_nPort = port;
    const std::size_t requestHead = ParseHttpHead(request).size;
    e.m_strRequestHead = request.substr(0, requestHead);
    e.m_RequestBody.bytes = request.substr(requestHead);
    e.m_RequestBody.total = e.m_RequestBody.bytes.size();
    SRequestLine line;
    ParseRequestLine(ParseHttpHead(request).firstLine, line);
    e.m_strMethod = line.method;
    e.m_strTarget = line.target;
    e.m_strVersion = line.version;
    if (!response.empty()) {
        const SHttpHead head = ParseHttpHead(response);
        e.m_strResponseHead = response.substr(0, head.size);
        e.m_ResponseBody.bytes = response.substr(head.size);
        e.m_ResponseBody.total = e.m_ResponseBody.bytes.size();
        e.m_nStatus = ParseStatusCode(head.firstLine);
        const std::string_view first = head.firstLine;
        const std::size_t reason = first.find(' ', first.find(' ') + 1);
        e.m_strReason = reason == std::string_view::npos ? "" : std::string(first.substr(reason + 1));
    }
    e.m_nEnd = response.empty() ? EExchangeEnd::OriginAborted : EExchangeEnd::Complete;
    return exchange;
}
