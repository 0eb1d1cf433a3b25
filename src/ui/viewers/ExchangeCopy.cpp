#include "ui/viewers/ExchangeCopy.h"

#include "http/AsciiCase.h"
#include "trace/CharsetText.h"
#include "trace/ChunkedRemover.h"
#include "trace/Exchange.h"
#include "trace/TraceExchanges.h"
#include "ui/viewers/CurlCommand.h"

namespace {

bool IsTextBody(const std::string& body)
{
    return body.find('\0') == std::string::npos && LooksLikeUtf8(body);
}

void AppendMessage(std::string& text, const std::string& head, const SExchangeBody& body)
{
    text += head;
    if (body.total == 0)
        return;
    if (IsTextBody(body.bytes) && !body.IsCut())
        text += body.bytes;
    else
        text += "[" + std::to_string(body.total) + " bytes of body not shown]";
    text += "\r\n";
}

} // namespace

std::string ExchangeCurlCommand(const CExchange& exchange, const std::string& proxy)
{
    if (exchange.Has(kExchangeTunnel) || exchange.m_strRequestHead.empty())
        return std::string();
    // The head with the URL as routed in its request line: curl then goes where the request
    // went, https:// included, whatever the Host field says.
    STracedMessage request;
    const std::size_t lineEnd = exchange.m_strRequestHead.find('\n');
    request.head = exchange.m_strMethod + " " + exchange.Url() + " " + exchange.m_strVersion + "\r\n"
                   + (lineEnd == std::string::npos ? std::string() : exchange.m_strRequestHead.substr(lineEnd + 1));
    // The body as data, its chunked framing taken off (curl frames it anew).
    std::string body = exchange.m_RequestBody.bytes;
    if (ContainsNoCase(exchange.RequestField("Transfer-Encoding"), "chunked")) {
        std::string data;
        CChunkedRemover().Remove(body, data);
        body = std::move(data);
    }
    request.bodyIsText = IsTextBody(body) && !exchange.m_RequestBody.IsCut();
    request.body = request.bodyIsText ? std::move(body) : std::string();
    request.bodyBytes = static_cast<std::int64_t>(exchange.m_RequestBody.total);
    return CurlCommand(request, proxy);
}

std::string ExchangeAsText(const CExchange& exchange)
{
    std::string text = "# " + std::to_string(exchange.m_nId) + " " + exchange.m_strMethod + " " + exchange.Url()
                       + " (" + ExchangeEndName(exchange.m_nEnd) + ")\r\n";
    AppendMessage(text, exchange.m_strRequestHead, exchange.m_RequestBody);
    text += "\r\n";
    AppendMessage(text, exchange.m_strResponseHead, exchange.m_ResponseBody);
    return text;
}
