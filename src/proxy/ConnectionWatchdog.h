#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <QPointer>

class CProxy;
class QTimer;

// Bounds on what a browser connection may hold and for how long. One sweep a second looks at
// every live connection:
//  - the request header must be complete within the header timeout (else the pair is closed);
//  - a connect (name lookup included) that has not finished within the connect timeout gets
//    the 404 page; over TLS the connect finishes with the handshake (else the 502);
//  - the browser's TLS handshake in a decrypted tunnel is bounded as a request header is;
//  - a pair that moved no byte to or from its browser for the idle timeout is closed (every
//    byte of a pair, tunnels included, passes the browser's socket).
// It also keeps the count of bytes held for unfinished request headers across all
// connections, so many slow senders cannot hold memory without bound.
class CConnectionWatchdog {
public:
    using Clock = std::chrono::steady_clock;

    // The longest request header a browser may send, in bytes.
    static constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
    // All unfinished request headers together.
    static constexpr std::size_t kMaxHeaderBytesTotal = 32 * 1024 * 1024;

    static constexpr int kDefaultConnectTimeoutS = 30;
    static constexpr int kDefaultHeaderTimeoutS = 60;
    static constexpr int kDefaultIdleTimeoutS = 15 * 60;

    // What is watched of one connection. The connection holds it, so that following a
    // connection costs neither a lookup nor an allocation.
    struct SWatch {
        enum class EPhase : std::uint8_t { Header, Ready, Connecting, Relaying };
        enum class EDue : std::uint8_t { None, Header, Connect, Idle }; // within one sweep
        static constexpr std::size_t kUnwatched = ~std::size_t{0};
        EPhase phase = EPhase::Header;
        EDue due = EDue::None;
        Clock::time_point since;
        std::size_t headerBytes = 0;
        std::size_t index = kUnwatched; // its place in the watchdog's list
    };

    CConnectionWatchdog() = default;
    ~CConnectionWatchdog();
    CConnectionWatchdog(const CConnectionWatchdog&) = delete;
    CConnectionWatchdog& operator=(const CConnectionWatchdog&) = delete;

    // In seconds; the defaults hold until they are set.
    void SetTimeouts(int connectS, int headerS, int idleS);

    // Hooks of the browser connection.
    void Add(CProxy* proxy);
    void Remove(CProxy* proxy);
    // The connection's unfinished header now holds `held` bytes. False when that would take
    // the bytes held for all unfinished headers past the bound: the connection must go.
    bool HoldHeader(CProxy* proxy, std::size_t held);
    void HeaderComplete(CProxy* proxy);
    // The browser starts TLS inside a tunnel: until its first request header there is complete,
    // the header timeout applies again.
    void HandshakeStarted(CProxy* proxy);
    void ConnectStarted(CProxy* proxy);
    void ConnectFinished(CProxy* proxy);

    std::size_t HeaderBytesHeld() const { return m_nHeaderBytes; }
    // One sweep now (tests; the timer runs it every second).
    void Sweep();

private:
    using EPhase = SWatch::EPhase;
    using EDue = SWatch::EDue;
    // The connection's watch while it is watched, else null.
    static SWatch* Watched(CProxy* proxy);
    EDue DueAt(const CProxy* proxy, Clock::time_point now) const;
    void EnsureTimer();

    std::vector<CProxy*> m_Watched; // each one's SWatch::index is its place here
    std::size_t m_nHeaderBytes = 0;
    std::chrono::seconds m_Connect{kDefaultConnectTimeoutS};
    std::chrono::seconds m_Header{kDefaultHeaderTimeoutS};
    std::chrono::seconds m_Idle{kDefaultIdleTimeoutS};
    QPointer<QTimer> m_pTimer; // goes with the application object, if that goes first
};
