#pragma once
#include <string>
#include <string_view>

class CExchange;

// Text quoted for a POSIX shell: in single quotes, each quote written as '\''.
std::string ShellQuote(std::string_view text);

// A POSIX shell command that repeats an exchange's request with curl: method, the URL as it
// was routed (https for a decrypted request), every header field the browser sent but the
// hop-by-hop ones and Content-Length, and the body. A body that is not plain text (a NUL, bytes
// that are not UTF-8) is piped in by printf, byte for byte. With a proxy ("host:port") the
// command goes through it. Empty for what curl cannot repeat: a tunnel, a CONNECT.
std::string CurlCommand(const CExchange& exchange, const std::string& proxy);
