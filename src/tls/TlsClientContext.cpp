#include "tls/TlsClientContext.h"

#include "tls/TlsSession.h"

#include <arpa/inet.h>

std::shared_ptr<CTlsClientContext> CTlsClientContext::Create(const std::string& extraCaFile,
                                                             bool verify, std::string& error)
{
    std::shared_ptr<CTlsClientContext> context(new CTlsClientContext);
    context->m_bVerify = verify;
    context->m_ctx.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX* ctx = context->m_ctx.get();
    if (!ctx) {
        error = "cannot set up TLS: " + TakeOpenSslError("out of memory");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    static const unsigned char kAlpn[] = "\x08http/1.1";
    SSL_CTX_set_alpn_protos(ctx, kAlpn, sizeof kAlpn - 1);
    if (!verify) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        return context;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(ctx);
    if (!extraCaFile.empty() && SSL_CTX_load_verify_locations(ctx, extraCaFile.c_str(), nullptr) != 1) {
        error = "cannot read the root certificates in " + extraCaFile + ": "
                + TakeOpenSslError("no certificate found");
        return nullptr;
    }
    return context;
}

std::unique_ptr<CTlsSession> CTlsClientContext::NewSession(const std::string& host)
{
    std::string name = host;
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    SslPtr ssl(SSL_new(m_ctx.get()));
    if (ssl) {
        unsigned char bytes[16];
        const bool address = ::inet_pton(AF_INET, name.c_str(), bytes) == 1
                             || ::inet_pton(AF_INET6, name.c_str(), bytes) == 1;
        if (address) {
            // No SNI for an address; the certificate must name it as an IP SAN.
            if (m_bVerify)
                X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), name.c_str());
        } else {
            SSL_set_tlsext_host_name(ssl.get(), name.c_str());
            if (m_bVerify) {
                SSL_set_hostflags(ssl.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
                SSL_set1_host(ssl.get(), name.c_str());
            }
        }
    }
    return std::make_unique<CTlsSession>(std::move(ssl), TlsRole::Client, name, shared_from_this());
}
