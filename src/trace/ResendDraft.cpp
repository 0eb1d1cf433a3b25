#include "trace/ResendDraft.h"

#include "http/AsciiCase.h"
#include "http/HttpHead.h"
#include "http/MessageFraming.h"
#include "trace/Exchange.h"
#include "trace/ExchangeContent.h"
#include "trace/ResendRequest.h"

#include <algorithm>
#include <charconv>

namespace {

bool IsTokenChar(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    return byte < 0x80 && std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text) {
        if (!IsTokenChar(c))
            return false;
    }
    return true;
}

// The URL as scheme, host (no brackets), port and the target that goes on the request line.
struct SUrlParts {
    bool https = false;
    std::string host;
    std::uint16_t port = 0;
    std::string target;
};

bool SplitUrl(std::string_view url, SUrlParts& parts, std::string& error)
{
    for (char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f) {
            error = "The URL may not hold blanks or control characters (write a space as %20).";
            return false;
        }
    }
    std::string_view rest;
    if (url.size() >= 7 && EqualsNoCase(url.substr(0, 7), "http://")) {
        rest = url.substr(7);
    } else if (url.size() >= 8 && EqualsNoCase(url.substr(0, 8), "https://")) {
        parts.https = true;
        rest = url.substr(8);
    } else {
        error = "The URL must begin with http:// or https://.";
        return false;
    }
    rest = rest.substr(0, rest.find('#')); // a fragment never goes to the server
    const std::size_t end = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, end);
    const std::string_view target =
        end == std::string_view::npos ? std::string_view() : rest.substr(end);
    if (authority.find('@') != std::string_view::npos) {
        error = "The URL may not hold a user name: send an Authorization header instead.";
        return false;
    }
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            error = "The URL's IPv6 address has no closing bracket.";
            return false;
        }
        parts.host = std::string(authority.substr(1, close - 1));
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && after.front() != ':') {
            error = "The URL's host is followed by something that is no port.";
            return false;
        }
        port = after.empty() ? after : after.substr(1);
    } else {
        const std::size_t colon = authority.find(':');
        parts.host = std::string(authority.substr(0, colon));
        port = colon == std::string_view::npos ? std::string_view() : authority.substr(colon + 1);
    }
    if (parts.host.empty()) {
        error = "The URL names no host.";
        return false;
    }
    unsigned number = parts.https ? 443 : 80;
    if (!port.empty()) {
        auto [last, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (ec != std::errc() || last != port.data() + port.size() || number == 0
            || number > 65535) {
            error = "The URL's port must be a number from 1 to 65535.";
            return false;
        }
    }
    parts.port = static_cast<std::uint16_t>(number);
    parts.target = target.empty()          ? "/"
                   : target.front() == '?' ? "/" + std::string(target)
                                           : std::string(target);
    return true;
}

std::string AuthorityOf(const SUrlParts& parts)
{
    std::string host =
        parts.host.find(':') != std::string::npos ? "[" + parts.host + "]" : parts.host;
    if (parts.port != (parts.https ? 443 : 80))
        host += ":" + std::to_string(parts.port);
    return host;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

SResendDraft SResendDraft::FromExchange(const CExchange& exchange)
{
    SResendDraft draft;
    draft.method = exchange.m_strMethod;
    draft.url = exchange.Url();
    const SExchangeContent content = RequestContent(exchange);
    draft.body = content.bytes;
    draft.bodyCut = exchange.m_RequestBody.IsCut();
    const SHttpHead head = ParseHttpHead(exchange.m_strRequestHead);
    const bool chunked = ContainsNoCase(head.Field("Transfer-Encoding"), "chunked");
    bool lengthWritten = false;
    for (const SHttpHead::SField& field : head.fields) {
        const bool framing = EqualsNoCase(field.name, "Transfer-Encoding")
                             || EqualsNoCase(field.name, "Content-Length");
        if (chunked && framing) {
            if (!lengthWritten)
                draft.fields.emplace_back("Content-Length", std::to_string(draft.body.size()));
            lengthWritten = true;
            continue;
        }
        draft.fields.emplace_back(std::string(field.name), std::string(field.value));
    }
    return draft;
}

bool SResendDraft::Compose(std::uint64_t replayOf, SResendRequest& request,
                           std::string& error) const
{
    if (!IsToken(method)) {
        error = "The method must be one word of letters, digits or !#$%&'*+-.^_`|~.";
        return false;
    }
    SUrlParts parts;
    if (!SplitUrl(url, parts, error))
        return false;
    std::vector<std::pair<std::string, std::string>> out;
    bool hasHost = false;
    bool hasTransferCoding = false;
    bool lengthPlaced = false;
    const std::string length = std::to_string(body.size());
    for (const auto& [name, value] : fields) {
        if (name.empty() && TrimAscii(value).empty())
            continue; // an empty row of the table
        if (!IsToken(name)) {
            error = "The header name \"" + name
                    + "\" is not valid: it must be one word of letters, digits or !#$%&'*+-.^_`|~, "
                      "without blanks.";
            return false;
        }
        if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
            error = "The value of the header " + name + " may not hold a line break or a NUL byte.";
            return false;
        }
        hasHost = hasHost || EqualsNoCase(name, "Host");
        hasTransferCoding = hasTransferCoding || EqualsNoCase(name, "Transfer-Encoding");
        if (!lengthSetByUser && EqualsNoCase(name, "Content-Length")) {
            if (!lengthPlaced)
                out.emplace_back(name, length); // where the user had it, following the body
            lengthPlaced = true;
            continue;
        }
        out.emplace_back(name, std::string(TrimAscii(value)));
    }
    if (!lengthSetByUser && !lengthPlaced && !hasTransferCoding && !body.empty())
        out.emplace_back("Content-Length", length);
    if (hasTransferCoding && !lengthSetByUser) {
        // The user's own framing: a chunked body is theirs to write; no length is made up.
        out.erase(std::remove_if(out.begin(), out.end(),
                                 [](const auto& field) {
                                     return EqualsNoCase(field.first, "Content-Length");
                                 }),
                  out.end());
    }
    if (!hasHost)
        out.insert(out.begin(), {"Host", AuthorityOf(parts)});

    std::string head = method + " " + parts.target + " HTTP/1.1\r\n";
    for (const auto& [name, value] : out)
        head += name + ": " + value + "\r\n";
    head += "\r\n";
    if (const char* fault = RequestHeadFault(head)) {
        error = std::string("The request head is not valid: ") + fault + ".";
        return false;
    }
    const CBodyFraming framing = RequestFraming(head);
    if (framing.kind == EBodyKind::Invalid) {
        error = "Content-Length and Transfer-Encoding do not agree (two lengths, a length that is "
                "no number, both fields, or a coding that does not end in chunked).";
        return false;
    }
    if (framing.kind == EBodyKind::None && !body.empty()) {
        error = "The body needs a Content-Length or Transfer-Encoding header to go with it.";
        return false;
    }
    request = SResendRequest();
    request.https = parts.https;
    request.host = parts.host;
    request.port = parts.port;
    request.method = method;
    request.target = parts.target;
    request.version = "HTTP/1.1";
    request.head = std::move(head);
    request.body = body;
    request.replayOf = replayOf;
    return true;
}

std::string HexText(std::string_view bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (i > 0)
            text += i % 16 == 0 ? '\n' : ' ';
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

bool ParseHexText(std::string_view text, std::string& bytes)
{
    bytes.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (high >= 0)
                return false; // a digit alone
            continue;
        }
        const int digit = HexDigit(c);
        if (digit < 0)
            return false;
        if (high < 0) {
            high = digit;
        } else {
            bytes += static_cast<char>((high << 4) | digit);
            high = -1;
        }
    }
    return high < 0;
}
