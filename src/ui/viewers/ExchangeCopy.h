#pragma once
#include <string>

class CExchange;

// What the Exchanges page copies of one exchange.

// A curl command that repeats the request at the URL it was routed to (https:// for a
// decrypted one), through the proxy "host:port" when one is given. Empty for a tunnel.
std::string ExchangeCurlCommand(const CExchange& exchange, const std::string& proxy);
// The request and the response as text, for a bug report: each head as sent, then its body
// as text, or a line saying how many bytes of binary body there were.
std::string ExchangeAsText(const CExchange& exchange);
