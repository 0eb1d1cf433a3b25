#pragma once
#include <string>
#include <string_view>

struct STracedMessage;

// Text quoted for a POSIX shell: in single quotes, each quote written as '\''.
std::string ShellQuote(std::string_view text);

// A curl command that repeats a traced request: method, absolute URL, every header field but
// the hop-by-hop ones and Content-Length, and the body when the trace holds it as text.
// With a proxy ("host:port") the command goes through it. Empty when the request has no
// request line.
std::string CurlCommand(const STracedMessage& request, const std::string& proxy);
