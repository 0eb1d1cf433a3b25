#pragma once
#include <string>

// The complete "502 Bad Gateway" response a browser gets, inside its decrypted tunnel, when the
// origin side failed: hop names the connection that failed ("TLS to the origin server
// example.com:443"), reason says why. The connection closes after it.
std::string MakeBadGatewayReply(const std::string& hop, const std::string& reason);
