#include "trace/Exchange.h"

#include "http/AsciiCase.h"
#include "http/HttpHead.h"

const char* ExchangeEndName(EExchangeEnd end)
{
    switch (end) {
    case EExchangeEnd::Open:
        return "open";
    case EExchangeEnd::Complete:
        return "complete";
    case EExchangeEnd::BrowserAborted:
        return "browser_aborted";
    case EExchangeEnd::OriginAborted:
        return "origin_aborted";
    case EExchangeEnd::Truncated:
        return "truncated";
    case EExchangeEnd::Refused:
        return "refused";
    }
    return "open";
}

std::string CExchange::Authority() const
{
    std::string authority = m_strHost.find(':') != std::string::npos ? "[" + m_strHost + "]"
                                                                      : m_strHost;
    const std::uint16_t defaultPort = m_bHttps ? 443 : 80;
    if (m_nPort != 0 && m_nPort != defaultPort)
        authority += ":" + std::to_string(m_nPort);
    return authority;
}

std::string CExchange::Path() const
{
    std::string_view target = m_strTarget;
    if (Has(kExchangeTunnel) || EqualsNoCase(m_strMethod, "CONNECT"))
        return "/";
    const std::size_t scheme = target.find("://");
    if (scheme != std::string_view::npos && target.find('/') > scheme) {
        // An absolute target: its path and query, after the authority.
        target.remove_prefix(scheme + 3);
        const std::size_t end = target.find_first_of("/?");
        target = end == std::string_view::npos ? std::string_view() : target.substr(end);
    }
    if (target == "*")
        return "*";
    if (target.empty() || target.front() != '/')
        return "/" + std::string(target);
    return std::string(target);
}

std::string CExchange::Url() const
{
    const std::string path = Path();
    return std::string(Scheme()) + "://" + Authority() + (path == "*" ? "/" : path);
}

std::string_view CExchange::RequestField(std::string_view name) const
{
    return FindHeaderField(m_strRequestHead, name);
}

std::string_view CExchange::ResponseField(std::string_view name) const
{
    return FindHeaderField(m_strResponseHead, name);
}
