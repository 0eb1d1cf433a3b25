#include "tls/BadGatewayReply.h"

std::string MakeBadGatewayReply(const std::string& hop, const std::string& reason)
{
    const std::string body = "Kestrune: " + hop + " failed: " + reason + "\r\n";
    return "HTTP/1.1 502 Bad Gateway\r\n"
           "Content-Type: text/plain; charset=utf-8\r\n"
           "Content-Length: " + std::to_string(body.size()) + "\r\n"
           "Connection: close\r\n"
           "\r\n" + body;
}
