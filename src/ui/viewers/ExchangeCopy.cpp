#include "ui/viewers/ExchangeCopy.h"

#include "http/AsciiCase.h"
#include "trace/CharsetText.h"
#include "trace/Exchange.h"
#include "trace/CurlCommand.h"

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
    return CurlCommand(exchange, proxy);
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
