#include "trace/CurlCommand.h"

#include "http/AsciiCase.h"
#include "http/HttpHead.h"
#include "trace/Exchange.h"
#include "trace/ExchangeContent.h"
#include "trace/ExchangeUrl.h"

#include <array>

namespace {

// Fields that belong to one hop, and Content-Length, which curl writes for the body it sends.
bool LeftOut(std::string_view name)
{
    static constexpr std::array<std::string_view, 10> kNames = {
        "Connection", "Keep-Alive", "Proxy-Connection", "Proxy-Authorization",
        "Proxy-Authenticate", "TE", "Trailer", "Transfer-Encoding", "Upgrade", "Content-Length"};
    for (std::string_view left : kNames) {
        if (EqualsNoCase(name, left))
            return true;
    }
    return false;
}

// Whether a shell argument and the clipboard carry the body unchanged: UTF-8 without NUL.
bool IsPlainText(std::string_view text)
{
    return text.find('\0') == std::string_view::npos && IsUtf8(text);
}

// A printf format that writes the bytes back: printable ASCII as it is, the rest in octal.
std::string PrintfFormat(std::string_view bytes)
{
    std::string format;
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '%') {
            format += "%%";
        } else if (c == '\\') {
            format += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7f && c != '\'') {
            format += c;
        } else {
            format += '\\';
            format += static_cast<char>('0' + (byte >> 6));
            format += static_cast<char>('0' + ((byte >> 3) & 7));
            format += static_cast<char>('0' + (byte & 7));
        }
    }
    return format;
}

} // namespace

std::string ShellQuote(std::string_view text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

std::string CurlCommand(const CExchange& exchange, const std::string& proxy)
{
    if (exchange.Has(kExchangeTunnel) || exchange.m_strMethod.empty()
        || EqualsNoCase(exchange.m_strMethod, "CONNECT"))
        return std::string();
    const SHttpHead head = ParseHttpHead(exchange.m_strRequestHead);
    const std::string body = RequestContent(exchange).bytes;
    const bool plainBody = IsPlainText(body);

    // --globoff and --path-as-is: the address goes out as it was traced.
    std::string command;
    if (!body.empty() && !plainBody)
        command = "printf " + ShellQuote(PrintfFormat(body)) + " | ";
    command += "curl --globoff --path-as-is";
    if (exchange.m_strVersion == "HTTP/1.0")
        command += " --http1.0";
    if (!proxy.empty())
        command += " -x " + ShellQuote("http://" + proxy);
    if (exchange.m_strMethod == "HEAD")
        command += " --head";
    else if (exchange.m_strMethod != "GET" || !body.empty())
        command += " -X " + ShellQuote(exchange.m_strMethod);
    command += " " + ShellQuote(PrintableUrl(exchange));

    bool userAgent = false;
    bool accept = false;
    bool contentType = false;
    for (const SHttpHead::SField& field : head.fields) {
        if (LeftOut(field.name))
            continue;
        userAgent = userAgent || EqualsNoCase(field.name, "User-Agent");
        accept = accept || EqualsNoCase(field.name, "Accept");
        contentType = contentType || EqualsNoCase(field.name, "Content-Type");
        std::string header(field.name);
        // "Name;" sends a field with an empty value; "Name:" would remove it.
        header += field.value.empty() ? ";" : ": " + std::string(field.value);
        command += " -H " + ShellQuote(header);
    }
    // curl's own fields that the browser did not send.
    if (!userAgent)
        command += " -H 'User-Agent:'";
    if (!accept)
        command += " -H 'Accept:'";
    if (!body.empty()) {
        if (!contentType)
            command += " -H 'Content-Type:'";
        // --data-raw: a body that starts with "@" is data, not the name of a file to read.
        command += plainBody ? " --data-raw " + ShellQuote(body) : std::string(" --data-binary @-");
    }
    if (exchange.m_RequestBody.IsCut())
        command += " # the body was cut: " + std::to_string(exchange.m_RequestBody.bytes.size())
                   + " of " + std::to_string(exchange.m_RequestBody.total) + " bytes kept";
    return command;
}
