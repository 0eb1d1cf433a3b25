#pragma once
#include <string>
#include <string_view>

class CConnectionRegistry;
class CConnectionWatchdog;
class CTlsProvider;
class CTraceStore;

// What the proxy engine needs from its owner, handed to the listener and from it to every
// connection: where connections are recorded, the upstream proxy as it is set now, HTTPS
// decryption, and the registry that owns the live connections. Settings are read at the moment
// a request is routed, so an apply takes effect for the next request. The application object
// implements it; nothing in the engine reaches the application otherwise.
class CProxyContext {
public:
    virtual ~CProxyContext() = default;

    // The store that records every connection; null when nothing is recorded.
    virtual CTraceStore* TraceStore() const = 0;
    virtual CConnectionRegistry& Connections() = 0;
    // The timeouts and header bounds of every connection of the run.
    virtual CConnectionWatchdog& Watchdog() = 0;
    // HTTPS decryption; null when the run has none.
    virtual CTlsProvider* Https() const = 0;

    // The upstream proxy: whether one is used, its host (no user, no brackets), port and
    // credentials.
    virtual bool UseProxy() const = 0;
    virtual std::string UpstreamHost() const = 0;
    virtual std::string UpstreamPort() const = 0;
    virtual std::string UpstreamUser() const = 0;
    virtual std::string UpstreamPassword() const = 0;
    // The upstream is this proxy's own port: requests through it get the 404 page.
    virtual bool IsUpstreamSelf() const = 0;
    // A 407 from the upstream proxy (said once per apply of the settings).
    virtual void ReportUpstreamRefusal() = 0;

    // Debug trace lines go to the store's debug feed while its switch is on.
    bool DebugTraceOn() const;
    void DebugTrace(std::string_view line) const;
};
