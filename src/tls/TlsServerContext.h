#pragma once
#include "tls/LeafCache.h"
#include "tls/OpenSslHelpers.h"

#include <memory>
#include <string>

class CCertAuthority;
class CTlsSession;

// The browser side of decrypted tunnels: answers each browser with a certificate for the name it
// asked for (SNI, else the tunnel's host), minted by the root and cached, and agrees on HTTP/1.1
// by ALPN when the browser offers it.
class CTlsServerContext : public std::enable_shared_from_this<CTlsServerContext> {
public:
    static std::shared_ptr<CTlsServerContext> Create(std::shared_ptr<const CCertAuthority> authority,
                                                     std::string& error);
    ~CTlsServerContext();

    // A session for one browser whose tunnel named fallbackHost (used when no SNI comes).
    std::unique_ptr<CTlsSession> NewSession(const std::string& fallbackHost);

    CLeafCache& GetLeaves() { return m_leaves; }
    const CCertAuthority& GetAuthority() const { return *m_authority; }

private:
    explicit CTlsServerContext(std::shared_ptr<const CCertAuthority> authority);
    static int OnServerName(SSL* ssl, int* alert, void* arg);

    std::shared_ptr<const CCertAuthority> m_authority;
    CLeafCache m_leaves;
    SslCtxPtr m_ctx;
};
