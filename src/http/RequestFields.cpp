#include "http/RequestFields.h"

#include "platform/HostText.h"

#include "http/AsciiCase.h"
#include "http/FieldLine.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// What an authority may hold (RFC 3986 section 3.2): unreserved and sub-delims, percent
// escapes, ":" and "@", and the brackets of an IP literal. A "\\" or a control byte is none of
// these, and "/", "?" and "#" end it.
constexpr std::array<bool, 256> kAuthorityChars = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[static_cast<std::size_t>(c)] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
            || (c >= '0' && c <= '9')
            || (c != 0 && std::string_view("-._~%!$&'()*+,;=:@[]").find(static_cast<char>(c))
                    != std::string_view::npos);
    return table;
}();

bool IsAuthorityChar(char c)
{
    return kAuthorityChars[static_cast<unsigned char>(c)];
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

CRequestFields::CRequestFields(const CRequestFields& other)
{
    ParseRequest(other.m_strRequestLine);
}

CRequestFields& CRequestFields::operator=(const CRequestFields& other)
{
    if (this != &other) {
        ParseRequest(other.m_strRequestLine);
    }
    return *this;
}

bool CRequestFields::PlainRequestLine(SRequestLine& out) const
{
    // The line up to its CR has exactly two spaces, so its first and last split it alike.
    if (!m_bPlainLine || !m_strVersion.starts_with("HTTP/")
        || !std::all_of(m_strVerb.begin(), m_strVerb.end(),
                        [](char c) { return kTokenChars[static_cast<unsigned char>(c)]; }))
        return false;
    out = SRequestLine{m_strVerb, m_strTarget, m_strVersion};
    return true;
}

void CRequestFields::Clear()
{
    m_strRequestLine.clear();
    ClearParsed();
}

void CRequestFields::ClearParsed()
{
    m_bConnect = false;
    m_bPlainLine = false;
    m_strVerb = m_strTarget = m_strUrl = m_strVersion = m_strAuthority = m_strPath = m_strPort = m_strHost = {};
}

void CRequestFields::ParseRequest(std::string_view line)
{
    if (line.data() != m_strRequestLine.data() || line.size() != m_strRequestLine.size())
        m_strRequestLine.assign(line); // (the line may be this object's own field)
    ClearParsed();
    const std::string_view text = m_strRequestLine;

    // The tokens up to the first LF, cut at blanks and CRs; only three make a request line.
    std::string_view tokens[3];
    std::size_t count = 0;
    const std::size_t lineEnd = std::min(text.find('\n'), text.size());
    const auto blank = [&text](std::size_t i) { return text[i] == ' ' || text[i] == '\r'; };
    // The usual line, "A B C" and its CR LF, is cut at its two spaces; any other line byte by byte.
    const std::size_t space1 = text.find(' ');
    const std::size_t space2 = space1 < lineEnd ? text.find(' ', space1 + 1) : std::string_view::npos;
    const std::size_t cr = lineEnd > 0 && text[lineEnd - 1] == '\r' ? lineEnd - 1 : lineEnd;
    const bool plain = space1 != 0 && space2 < cr && space2 > space1 + 1 && space2 + 1 < cr
        && std::none_of(text.begin() + static_cast<std::ptrdiff_t>(space2 + 1),
                        text.begin() + static_cast<std::ptrdiff_t>(cr),
                        [](char c) { return c == ' ' || c == '\r'; })
        && text.substr(0, space2).find('\r') == std::string_view::npos;
    if (plain) {
        tokens[0] = text.substr(0, space1);
        tokens[1] = text.substr(space1 + 1, space2 - space1 - 1);
        tokens[2] = text.substr(space2 + 1, cr - space2 - 1);
        count = 3;
        m_strTarget = tokens[1];
        m_bPlainLine = true;
    }
    for (std::size_t i = 0; !plain && i < lineEnd && count <= 3;) {
        while (i < lineEnd && blank(i))
            ++i;
        const std::size_t start = i;
        while (i < lineEnd && !blank(i))
            ++i;
        if (i == start)
            break;
        if (count < 3)
            tokens[count] = text.substr(start, i - start);
        ++count;
    }
    bool https = false;

    if (count == 3) {
        m_strVerb = tokens[0];
        m_strVersion = tokens[2];
        if (EqualsNoCase(tokens[0], "connect")) {
            m_bConnect = true;
            m_strAuthority = tokens[1];
        } else {
            std::string_view url = tokens[1];
            if (StartsWithNoCase(url, "http://"))
                url.remove_prefix(7);
            else if ((https = StartsWithNoCase(url, "https://")))
                url.remove_prefix(8);
            else
                url = {};
            m_strUrl = url;
            // The authority ends at the first "/", "?" or "#"; only a path may follow it here.
            std::size_t end = url.find('/');
            const std::size_t slash = std::min(end, url.size());
            for (std::size_t i = 0; i < slash; ++i) {
                if (url[i] == '?' || url[i] == '#') {
                    end = i;
                    break;
                }
            }
            if (end != std::string_view::npos && url[end] == '/') {
                m_strPath = url.substr(end);
                m_strAuthority = url.substr(0, end);
            }
        }
    }

    if (!m_strAuthority.empty()
        && std::all_of(m_strAuthority.begin(), m_strAuthority.end(), IsAuthorityChar)) {
        // User info ("user:password@") names no machine, and holds no "@" of its own.
        const std::string_view authority = m_strAuthority;
        const std::size_t at = authority.find('@');
        if (at == std::string::npos)
            SplitHostPort(authority, https);
        else if (authority.find('@', at + 1) == std::string::npos)
            SplitHostPort(authority.substr(at + 1), https);
    }
}

// https:// names port 443: its request goes there over TLS, never in clear text.
static std::string_view DefaultPort(bool https)
{
    return https ? "443" : "80";
}

void CRequestFields::SplitHostPort(std::string_view hostPort, bool https)
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
        host = hostPort.substr(0, colon);
        if (colon != std::string_view::npos)
            portPart = hostPort.substr(colon + 1);
        // A fully qualified name's last dot: what connects is the name without it, which
        // the hosts file and the address parser know.
        if (host.size() > 1 && host.back() == '.' && host[host.size() - 2] != '.')
            host.remove_suffix(1);
        // A host that is neither a name nor a full address literal ("[::1" cut at its colon,
        // the numeric shorthand "1") is no host: nothing connects to where it might point.
        // (Browsers name the same host again and again, on one connection and on the next:
        // the last one that passed on this thread is remembered.)
        thread_local char connectable[64];
        thread_local std::size_t connectableSize = 0;
        if (host.empty() || host != std::string_view(connectable, connectableSize)) {
            if (!IsConnectableHost(host))
                return;
            connectableSize = host.size() <= sizeof connectable ? host.size() : 0;
            std::copy_n(host.data(), connectableSize, connectable);
        }
    }
    // The port is digits only (none: the scheme's own); "8080]" or "80:81" is no port.
    if (!IsDigits(portPart))
        return;
    m_strHost = host;
    m_strPort = portPart.empty() ? DefaultPort(https) : portPart;
}
