#pragma once
#include "tls/OpenSslHelpers.h"
#include "tls/RootFileLoader.h"
#include "tls/TlsSessionCache.h"
#include "tls/VerifiedChains.h"

#include <memory>
#include <string>

class CTlsSession;

// The origin side: TLS 1.2 or later with SNI, offering only HTTP/1.1 by ALPN, and verifying the
// origin's certificate and name against the system's trust store and an optional extra root
// (for private servers), or not at all when the user said so. Sessions the origins give are
// kept per origin and resumed by the next connection there: with these settings only, as a
// new context (other settings) starts with none.
class CTlsClientContext : public std::enable_shared_from_this<CTlsClientContext> {
public:
    static std::shared_ptr<CTlsClientContext> Create(const std::string& extraCaFile, bool verify,
                                                     std::string& error);

    // A session to the origin host (a name, or an address with or without brackets); with the
    // origin's port it resumes the last session there, and keeps the sessions it is given.
    // server is the address and port the connection reached ("192.0.2.1:443"; empty when not
    // known, or through an upstream proxy): a name new there may resume a TLS 1.3 session of
    // another of the server's names whose certificate names it too, which spares the decoding
    // and verifying of the certificate.
    std::unique_ptr<CTlsSession> NewSession(const std::string& host, int port = 0,
                                            const std::string& server = {});

    bool IsVerifying() const { return m_bVerify; }
    const CTlsSessionCache& Sessions() const { return m_Sessions; }
    const CVerifiedChains& VerifiedChains() const { return m_Chains; }

private:
    CTlsClientContext() = default;
    // OpenSSL's new-session callback: TLS 1.2 sessions at the handshake's end, TLS 1.3 tickets
    // whenever they come.
    static int OnNewSession(SSL* ssl, SSL_SESSION* session);
    // OpenSSL's verification of an origin's chain: once the system's bundle is in the store.
    static int VerifyChain(X509_STORE_CTX* store, void* context);
    // The server's shared session when it may resume a connection to name; owned by the caller.
    SSL_SESSION* TakeSharedSession(const std::string& server, const std::string& name,
                                   bool address);

    CTlsSessionCache m_Sessions;
    CVerifiedChains m_Chains; // checked against this context's trust store only

    CRootFileLoader m_Roots; // the system's bundle, when a file holds it: a lookup of m_ctx's store
    SslCtxPtr m_ctx;
    bool m_bVerify = true;
};
