#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// How an exchange ended, as the relay saw it.
enum class EExchangeEnd : std::uint8_t {
    Open,           // still going on
    Complete,       // the response ended where its framing said
    BrowserAborted, // the browser went away before the response was out
    OriginAborted,  // the origin failed or closed before answering
    Truncated,      // the origin ended inside a response whose end its framing knew
    Refused,        // the proxy answered by itself (400, 404, 502): m_strEndReason says why
};

// The word the exchange lines, HAR comments and the filter use ("complete", "truncated"...).
const char* ExchangeEndName(EExchangeEnd end);

// What else the relay knew of the route.
enum EExchangeFlag : std::uint8_t {
    kExchangeDecrypted = 1,   // inside a decrypted CONNECT tunnel
    kExchangeViaUpstream = 2, // sent through the upstream proxy
    kExchangeTunnel = 4,      // an undecrypted CONNECT tunnel: bytes only, no messages
    kExchangeUpgraded = 8,    // a 101 answer turned the connection into a tunnel
    kExchangeReplay = 16,     // sent by Kestrune itself again (m_nReplayOf names the original)
};

// Microseconds on the wall clock (since the epoch); 0 where the step did not happen (a reused
// connection is neither resolved nor connected again).
struct SExchangeTimes {
    std::int64_t started = 0;     // the request head was complete at the proxy
    std::int64_t resolved = 0;    // the origin's name was resolved
    std::int64_t connected = 0;   // TCP to the origin (or the upstream) was up
    std::int64_t tlsDone = 0;     // TLS to the origin was up
    std::int64_t requestSent = 0; // the last request byte was handed to the origin's socket
    std::int64_t firstByte = 0;   // the first response byte arrived
    std::int64_t ended = 0;       // the exchange ended (see m_nEnd)
    bool operator==(const SExchangeTimes&) const = default;
};

// Body bytes as they went through (transfer coding included), kept up to a bound.
struct SExchangeBody {
    std::string bytes;        // the first kept bytes
    std::uint64_t total = 0;  // every byte of the body on the wire, kept or not
    bool IsCut() const { return total > bytes.size(); }
    bool operator==(const SExchangeBody&) const = default;
};

// One request and its response, as the relay parsed them once: where the request was routed,
// what went each way, and how it ended. The relay makes it when a request head is complete and
// completes it as the answer comes; every view, exporter, filter and replay reads it, never the
// record texts. Records name it by m_nId.
class CExchange {
public:
    // The most body bytes kept per message; the rest is counted, not kept.
    static constexpr std::size_t kMaxKeptBody = 16 << 20;

    std::uint64_t m_nId = 0;           // numbered by the store from 1; 0: not in a store
    int m_nBrowserConnection = 0;      // the browser connection's number
    int m_nServerConnection = 0;       // the trace entry (server connection) of its records

    // The route, as the request was routed (not as its Host field reads).
    bool m_bHttps = false;             // http or https to the origin
    std::string m_strHost;             // the origin's host name or address (no brackets)
    std::uint16_t m_nPort = 0;         // the origin's port
    std::uint8_t m_nFlags = 0;         // EExchangeFlag bits
    std::uint64_t m_nReplayOf = 0;     // with kExchangeReplay: the exchange sent again

    // The request.
    std::string m_strMethod;           // as sent, case kept
    std::string m_strTarget;           // the request target as the browser sent it
    std::string m_strVersion;          // "HTTP/1.1"
    std::string m_strRequestHead;      // the head as the browser sent it, through its blank line
    std::string m_strForwardedHead;    // the head as it went out; empty when unchanged
    SExchangeBody m_RequestBody;

    // The response (the final one: interim 1xx answers are not kept apart).
    int m_nStatus = 0;                 // 0 until a status line came
    std::string m_strReason;
    std::string m_strResponseHead;     // as received, through its blank line
    SExchangeBody m_ResponseBody;
    std::uint64_t m_nUnexpectedBytes = 0; // origin bytes after the response ended, never relayed

    SExchangeTimes m_Times;
    EExchangeEnd m_nEnd = EExchangeEnd::Open;
    std::string m_strEndReason;        // for Refused and the aborted ends: why
    // The memory budget took the kept body bytes out of memory (the totals stay); the store's
    // BodiesReadBack gives them back from the session file when one is recorded.
    bool m_bBodiesDropped = false;

    // Every field the same (a reopened session against the capture).
    bool operator==(const CExchange&) const = default;
    bool Has(EExchangeFlag flag) const { return (m_nFlags & flag) != 0; }
    bool IsOpen() const { return m_nEnd == EExchangeEnd::Open; }
    // "https" or "http".
    std::string_view Scheme() const { return m_bHttps ? "https" : "http"; }
    // host[:port] as a URL writes it: IPv6 in brackets, the scheme's default port left out.
    std::string Authority() const;
    // The URL the request was for: scheme and routed authority, then the path of an origin-form
    // target, or the absolute target's own path. For CONNECT tunnels "https://authority/".
    std::string Url() const;
    // The path and query of the URL ("/" at least).
    std::string Path() const;
    // The value of the first field of that name in the request or response head.
    std::string_view RequestField(std::string_view name) const;
    std::string_view ResponseField(std::string_view name) const;
};
