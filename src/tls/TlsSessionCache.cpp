#include "tls/TlsSessionCache.h"

#include <ctime>

CTlsSessionCache::~CTlsSessionCache()
{
    for (auto& [origin, entry] : m_Sessions)
        SSL_SESSION_free(entry.session);
}

void CTlsSessionCache::Drop(std::unordered_map<std::string, SEntry>::iterator it)
{
    SSL_SESSION_free(it->second.session);
    m_Uses.erase(it->second.use);
    m_Sessions.erase(it);
}

// Expired, or no longer resumable: OpenSSL marks the session of a connection that ended without
// close_notify so.
bool CTlsSessionCache::IsUsable(SSL_SESSION* session)
{
    return SSL_SESSION_is_resumable(session)
        && std::time(nullptr) - static_cast<std::time_t>(SSL_SESSION_get_time(session))
            < static_cast<std::time_t>(SSL_SESSION_get_timeout(session));
}

bool CTlsSessionCache::PutIfNone(const std::string& origin, SSL_SESSION* session)
{
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (auto it = m_Sessions.find(origin); it != m_Sessions.end() && IsUsable(it->second.session))
            return false;
    }
    Put(origin, session);
    return session && SSL_SESSION_is_resumable(session);
}

void CTlsSessionCache::Put(const std::string& origin, SSL_SESSION* session)
{
    if (!session || !SSL_SESSION_is_resumable(session))
        return;
    std::lock_guard<std::mutex> lock(m_Lock);
    if (auto it = m_Sessions.find(origin); it != m_Sessions.end())
        Drop(it);
    while (m_Sessions.size() >= kMaxOrigins)
        Drop(m_Sessions.find(m_Uses.back()));
    SSL_SESSION_up_ref(session);
    m_Uses.push_front(origin);
    m_Sessions.emplace(origin, SEntry{session, m_Uses.begin()});
}

SSL_SESSION* CTlsSessionCache::Take(const std::string& origin)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    const auto it = m_Sessions.find(origin);
    if (it == m_Sessions.end())
        return nullptr;
    SSL_SESSION* session = it->second.session;
    if (!IsUsable(session)) {
        Drop(it);
        return nullptr;
    }
    if (SSL_SESSION_get_protocol_version(session) >= TLS1_3_VERSION) {
        // Single use: the resumed handshake brings fresh tickets through the callback.
        m_Uses.erase(it->second.use);
        m_Sessions.erase(it);
        return session;
    }
    m_Uses.splice(m_Uses.begin(), m_Uses, it->second.use);
    SSL_SESSION_up_ref(session);
    return session;
}

void CTlsSessionCache::Forget(const std::string& origin)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (auto it = m_Sessions.find(origin); it != m_Sessions.end())
        Drop(it);
}

std::size_t CTlsSessionCache::Size() const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Sessions.size();
}
