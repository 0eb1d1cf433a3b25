#pragma once
#include <openssl/ssl.h>

#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

// The TLS sessions an origin gave us, one per origin ("name:port", the name being what the
// session was for: the SNI, or the address without one), so that the next connection there can
// resume instead of a full handshake. It belongs to one client context, whose verification
// settings every session in it passed. Bounded: the least recently used origin goes first.
class CTlsSessionCache {
public:
    static constexpr std::size_t kMaxOrigins = 1024;

    CTlsSessionCache() = default;
    ~CTlsSessionCache();
    CTlsSessionCache(const CTlsSessionCache&) = delete;
    CTlsSessionCache& operator=(const CTlsSessionCache&) = delete;

    // Keeps the session (a reference is taken) as the origin's latest.
    void Put(const std::string& origin, SSL_SESSION* session);
    // Keeps the session only where the origin has none that can still be resumed; true when
    // it was kept.
    bool PutIfNone(const std::string& origin, SSL_SESSION* session);
    // The origin's session to resume with, owned by the caller (null for none); a TLS 1.3
    // ticket is handed out once, as tickets are meant to be.
    SSL_SESSION* Take(const std::string& origin);
    // Forgets the origin's session (its resumption failed, or its verification no longer
    // holds).
    void Forget(const std::string& origin);
    std::size_t Size() const;

private:
    struct SEntry {
        SSL_SESSION* session = nullptr;
        std::list<std::string>::iterator use;
    };
    void Drop(std::unordered_map<std::string, SEntry>::iterator it);
    static bool IsUsable(SSL_SESSION* session);

    mutable std::mutex m_Lock;
    std::unordered_map<std::string, SEntry> m_Sessions;
    std::list<std::string> m_Uses; // most recent first
};
