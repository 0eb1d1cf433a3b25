#pragma once
#include "tls/OpenSslHelpers.h"

#include <memory>
#include <string>

class CTlsSession;

// The origin side: TLS 1.2 or later with SNI, offering only HTTP/1.1 by ALPN, and verifying the
// origin's certificate and name against the system's trust store and an optional extra root
// (for private servers), or not at all when the user said so.
class CTlsClientContext : public std::enable_shared_from_this<CTlsClientContext> {
public:
    static std::shared_ptr<CTlsClientContext> Create(const std::string& extraCaFile, bool verify,
                                                     std::string& error);

    // A session to the origin host (a name, or an address with or without brackets).
    std::unique_ptr<CTlsSession> NewSession(const std::string& host);

    bool IsVerifying() const { return m_bVerify; }

private:
    CTlsClientContext() = default;

    SslCtxPtr m_ctx;
    bool m_bVerify = true;
};
