#pragma once
#include <string>

// Where the relay sends a request: straight to the origin, to the upstream proxy (which routes
// it), or to the origin over TLS (directly or through a tunnel the upstream opens). Made once
// when the request is routed; the server connection keeps it, and a later request reuses that
// connection when their routes meet the same server.
struct SRoute {
    enum class EKind { Direct, Upstream, TlsOrigin };

    EKind kind = EKind::Direct;
    std::string connectHost; // where the socket connects: the origin or the upstream proxy
    int connectPort = 0;
    std::string originHost;  // the origin as routed (no brackets); for TLS the name verified
    int originPort = 0;
    bool viaUpstream = false; // the connection goes to the upstream proxy

    // Another request on this route may go on a connection made for `other`.
    bool SharesConnectionWith(const SRoute& other) const;
    // "https://host[:port]" as a URL names a TLS origin (brackets for IPv6, 443 left out).
    std::string TlsOriginUrl() const;
    // "host:port" as a CONNECT names the origin.
    std::string OriginAuthority() const;
};
