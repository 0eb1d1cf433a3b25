#include "http/RequestFields.h"

#include "platform/HostText.h"
#include "http/HeaderFunctions.h"

#include <string_view>
#include <utility>
#include <vector>

namespace {

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// ASCII comparison without regard to case; 'lower' is already in lower case.
bool StartsWithNoCase(std::string_view text, std::string_view lower)
{
    if (text.size() < lower.size())
        return false;
    for (std::size_t i = 0; i < lower.size(); ++i) {
        if (LowerAscii(text[i]) != lower[i])
            return false;
    }
    return true;
}

bool EqualsNoCase(std::string_view text, std::string_view lower)
{
    return text.size() == lower.size() && StartsWithNoCase(text, lower);
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
            const std::size_t slash = m_strUrl.find('/');
            if (slash != std::string::npos) {
                m_strPath = m_strUrl.substr(slash);
                m_strAuthority = m_strUrl.substr(0, slash);
            }
        }
    }

    if (!m_strAuthority.empty()) {
        // User info ("user:password@") names no machine: the host starts after the last "@".
        const std::size_t at = m_strAuthority.rfind('@');
        const std::string hostPort = at == std::string::npos ? m_strAuthority
                                                             : m_strAuthority.substr(at + 1);
        SplitHostPort(hostPort, https);
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
    const std::string_view literal = BracketedAddress(hostPort, afterBracket);
    if (!literal.empty()) {
        // "[address]" or "[address]:port": the port is whatever follows the one colon.
        if (!afterBracket.empty()
            && (afterBracket.front() != ':' || afterBracket.find(':', 1) != std::string_view::npos))
            return;
        m_strHost = std::string(literal);
        m_strPort = afterBracket.size() > 1 ? std::string(afterBracket.substr(1)) : DefaultPort(https);
        return;
    }
    std::vector<std::string> parts;
    Tokenize(hostPort, ":", parts);
    if (parts.empty())
        return;
    // A host that is neither a name nor a full address literal ("[::1" cut at its colons,
    // the numeric shorthand "1") is no host: nothing connects to where it might point.
    if (!IsConnectableHost(parts[0]))
        return;
    m_strPort = DefaultPort(https);
    m_strHost = parts[0];
    if (parts.size() == 2)
        m_strPort = parts[1];
}
