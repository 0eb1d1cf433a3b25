#include "tls/TlsServerContext.h"

#include "tls/CertAuthority.h"
#include "tls/TlsSession.h"

#include <algorithm>

namespace {

// HTTP/1.1 when the browser offers it; otherwise no protocol is agreed, which means HTTP/1.1.
int SelectAlpn(SSL*, const unsigned char** out, unsigned char* outSize, const unsigned char* in,
               unsigned int inSize, void*)
{
    static const unsigned char kHttp11[] = "http/1.1";
    for (unsigned int i = 0; i < inSize;) {
        const unsigned int size = in[i];
        if (i + 1 + size > inSize)
            break;
        if (size == 8 && std::equal(in + i + 1, in + i + 9, kHttp11)) {
            *out = in + i + 1;
            *outSize = 8;
            return SSL_TLSEXT_ERR_OK;
        }
        i += 1 + size;
    }
    return SSL_TLSEXT_ERR_NOACK;
}

} // namespace

CTlsServerContext::CTlsServerContext(std::shared_ptr<const CCertAuthority> authority)
    : m_authority(std::move(authority))
    , m_leaves(*m_authority)
{
}

CTlsServerContext::~CTlsServerContext() = default;

std::shared_ptr<CTlsServerContext> CTlsServerContext::Create(
    std::shared_ptr<const CCertAuthority> authority, std::string& error)
{
    std::shared_ptr<CTlsServerContext> context(new CTlsServerContext(std::move(authority)));
    context->m_ctx.reset(SSL_CTX_new(TLS_server_method()));
    if (!context->m_ctx) {
        error = "cannot set up TLS: " + TakeOpenSslError("out of memory");
        return nullptr;
    }
    SSL_CTX* ctx = context->m_ctx.get();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_tlsext_servername_callback(ctx, &CTlsServerContext::OnServerName);
    SSL_CTX_set_tlsext_servername_arg(ctx, context.get());
    SSL_CTX_set_alpn_select_cb(ctx, &SelectAlpn, nullptr);
    // SHA-256 suites first: their key schedule costs less than SHA-384's, with no weaker cipher.
    SSL_CTX_set_ciphersuites(ctx, kTls13Suites);
    // No tickets at the handshake's end: the channel makes one while the first request is on
    // its way to the origin, not before that request is read.
    SSL_CTX_set_num_tickets(ctx, 0);
    return context;
}

std::unique_ptr<CTlsSession> CTlsServerContext::NewSession(const std::string& fallbackHost)
{
    return std::make_unique<CTlsSession>(SslPtr(SSL_new(m_ctx.get())), TlsRole::Server,
                                         fallbackHost, shared_from_this());
}

// Called for every ClientHello, with or without SNI, before the certificate is chosen.
int CTlsServerContext::OnServerName(SSL* ssl, int* alert, void* arg)
{
    auto* self = static_cast<CTlsServerContext*>(arg);
    auto* session = static_cast<CTlsSession*>(SSL_get_app_data(ssl));
    if (!session)
        return SSL_TLSEXT_ERR_ALERT_FATAL;
    const char* sni = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    std::string host = sni && *sni ? std::string(sni) : session->GetPeerName();
    if (sni)
        session->SetServerName(sni);
    std::string error;
    X509* leaf = self->m_leaves.GetLeaf(host, error);
    if (!leaf || SSL_use_cert_and_key(ssl, leaf, self->m_leaves.GetLeafKey(), nullptr, 1) != 1) {
        session->SetCallbackError(error.empty() ? "cannot use the certificate for " + host : error);
        *alert = SSL_AD_INTERNAL_ERROR;
        return SSL_TLSEXT_ERR_ALERT_FATAL;
    }
    return SSL_TLSEXT_ERR_OK;
}
