#include "http/RequestFields.h"

#include "platform/HostText.h"
#include "http/HeaderFunctions.h"

#include "http/AsciiCase.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// What an authority may hold (RFC 3986 section 3.2): unreserved and sub-delims, percent
// escapes, ":" and "@", and the brackets of an IP literal. A "\\" or a control byte is none of
// these, and "/", "?" and "#" end it.
bool IsAuthorityChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
           || std::string_view("-._~%!$&'()*+,;=:@[]").find(c) != std::string_view::npos;
}

bool IsDigits(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

constexpr std::size_t TRACED_LINE_BYTES = 200;

} // namespace

std::string CRequestFields::DebugLine(std::string_view line)
{
    // The label says 300 bytes; 200 is what has always been shown.
    std::string entry = "CProxy::Parse Request - 300 bytes\r\n";
    entry.append(line.substr(0, TRACED_LINE_BYTES));
    entry += "\r\n";
    return entry;
}

void CRequestFields::ParseRequest(const std::string& line)
{
    std::string requestLine = line; // the line may be one of this object's own fields
    *this = CRequestFields();
    m_strRequestLine = std::move(requestLine);
    const std::string& text = m_strRequestLine;

    std::vector<std::string> tokens;
    Tokenize(text, " \r\n", tokens);
    bool https = false;


    if (tokens.size() == 3) {
        m_strVerb = tokens[0];
        m_strVersion = tokens[2];
        if (EqualsNoCase(tokens[0], "connect")) {
            m_bConnect = true;
            m_strAuthority = tokens[1];
        } else {
            m_strUrl = tokens[1];
            if (StartsWithNoCase(m_strUrl, "http://"))
                m_strUrl.erase(0, 7);
            else if ((https = StartsWithNoCase(m_strUrl, "https://")))
                m_strUrl.erase(0, 8);
            else
                m_strUrl.clear();
            // The authority ends at the first "/", "?" or "#"; only a path may follow it here.
            const std::size_t end = m_strUrl.find_first_of("/?#");
            if (end != std::string::npos && m_strUrl[end] == '/') {
                m_strPath = m_strUrl.substr(end);
                m_strAuthority = m_strUrl.substr(0, end);
            }
        }
    }

    if (!m_strAuthority.empty()
        && std::all_of(m_strAuthority.begin(), m_strAuthority.end(), IsAuthorityChar)) {
        // User info ("user:password@") names no machine, and holds no "@" of its own.
        const std::size_t at = m_strAuthority.find('@');
        if (at == std::string::npos)
            SplitHostPort(m_strAuthority, https);
        else if (m_strAuthority.find('@', at + 1) == std::string::npos)
            SplitHostPort(m_strAuthority.substr(at + 1), https);
    }
}

// https:// names port 443: its request goes there over TLS, never in clear text.
static std::string DefaultPort(bool https)
{
    return https ? "443" : "80";
}

void CRequestFields::SplitHostPort(const std::string& hostPort, bool https)
{
    std::string_view afterBracket;
    std::string_view host = BracketedAddress(hostPort, afterBracket);
    std::string_view portPart;
    if (!host.empty()) {
        // "[address]" or "[address]:port"
        if (!afterBracket.empty() && afterBracket.front() != ':')
            return;
        portPart = afterBracket.substr(afterBracket.empty() ? 0 : 1);
    } else {
        const std::size_t colon = hostPort.find(':');
        host = std::string_view(hostPort).substr(0, colon);
        if (colon != std::string::npos)
            portPart = std::string_view(hostPort).substr(colon + 1);
        // A fully qualified name's last dot: what connects is the name without it, which
        // the hosts file and the address parser know.
        if (host.size() > 1 && host.back() == '.' && host[host.size() - 2] != '.')
            host.remove_suffix(1);
        // A host that is neither a name nor a full address literal ("[::1" cut at its colon,
        // the numeric shorthand "1") is no host: nothing connects to where it might point.
        if (!IsConnectableHost(host))
            return;
    }
    // The port is digits only (none: the scheme's own); "8080]" or "80:81" is no port.
    if (!IsDigits(portPart))
        return;
    m_strHost = std::string(host);
    m_strPort = portPart.empty() ? DefaultPort(https) : std::string(portPart);
}
