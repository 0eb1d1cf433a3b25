#include "proxy/Route.h"

bool SRoute::SharesConnectionWith(const SRoute& other) const
{
    if (kind != other.kind || connectHost != other.connectHost || connectPort != other.connectPort)
        return false;
    // The upstream routes every plain request itself; a TLS connection is to one origin.
    return kind != EKind::TlsOrigin
        || (originHost == other.originHost && originPort == other.originPort);
}

std::string SRoute::OriginAuthority() const
{
    const std::string host =
        originHost.find(':') != std::string::npos ? "[" + originHost + "]" : originHost;
    return host + ":" + std::to_string(originPort);
}

std::string SRoute::TlsOriginUrl() const
{
    const std::string authority = OriginAuthority();
    return "https://"
        + (originPort == 443 ? authority.substr(0, authority.rfind(':')) : authority);
}
