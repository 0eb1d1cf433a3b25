#include "ui/viewers/CurlCommand.h"

#include "trace/TraceExchanges.h"

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

std::string CurlCommand(const STracedMessage& request, const std::string& proxy)
{
    const SHttpHead head = ParseHttpHead(request.head);
    SRequestLine line;
    if (!ParseRequestLine(head.firstLine, line))
        return std::string();

    // --globoff and --path-as-is: the address goes out as it was traced.
    std::string command = "curl --globoff --path-as-is";
    if (line.version == "HTTP/1.0")
        command += " --http1.0";
    if (!proxy.empty())
        command += " -x " + ShellQuote("http://" + proxy);
    if (line.method == "HEAD")
        command += " --head";
    else if (line.method != "GET" || !request.body.empty())
        command += " -X " + ShellQuote(line.method);
    command += " " + ShellQuote(RequestUrl(line, head));

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
    // --data-raw: a body that starts with "@" is data, not the name of a file to read.
    if (request.bodyIsText && !request.body.empty()) {
        if (!contentType)
            command += " -H 'Content-Type:'";
        command += " --data-raw " + ShellQuote(request.body);
    }
    return command;
}
