#include "tls/TlsClientContext.h"

#include "tls/TlsSession.h"

#include <arpa/inet.h>
#include <dirent.h>

#include <cstdlib>
#include <cstring>

namespace {

// A name OpenSSL's hashed folder gives a certificate: eight hex digits, a dot, a number.
bool IsHashedName(const char* name)
{
    std::size_t i = 0;
    for (; i < 8; ++i) {
        if (name[i] == '\0' || !std::strchr("0123456789abcdef", name[i]))
            return false;
    }
    if (name[i++] != '.' || name[i] == '\0')
        return false;
    for (; name[i] != '\0'; ++i) {
        if (name[i] < '0' || name[i] > '9')
            return false;
    }
    return true;
}

bool HasHashedNames(const char* folder)
{
    DIR* dir = ::opendir(folder);
    if (!dir)
        return false;
    bool found = false;
    for (int i = 0; i < 100000 && !found; ++i) {
        const dirent* entry = ::readdir(dir);
        if (!entry)
            break;
        found = IsHashedName(entry->d_name);
    }
    ::closedir(dir);
    return found;
}

// The system's roots from OpenSSL's hashed folder, each read when a chain first needs it:
// loading the whole bundle parses some 140 certificates (tens of milliseconds, and more than a
// megabyte kept) before the first origin can be verified. Where the folder has no hashed names,
// or SSL_CERT_FILE or SSL_CERT_DIR choose other places, OpenSSL's defaults are loaded whole.
void UseSystemRoots(SSL_CTX* ctx)
{
    const char* folder = X509_get_default_cert_dir();
    if (std::getenv(X509_get_default_cert_file_env())
        || std::getenv(X509_get_default_cert_dir_env()) || !HasHashedNames(folder)
        || SSL_CTX_load_verify_dir(ctx, folder) != 1)
        SSL_CTX_set_default_verify_paths(ctx);
}

void FreeOrigin(void*, void* origin, CRYPTO_EX_DATA*, int, long, void*)
{
    delete static_cast<std::string*>(origin);
}

// Where a connection's sessions are kept: "name:port", set on connections that resume.
int OriginIndex()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeOrigin);
    return index;
}

} // namespace

int CTlsClientContext::OnNewSession(SSL* ssl, SSL_SESSION* session)
{
    const auto* origin = static_cast<const std::string*>(SSL_get_ex_data(ssl, OriginIndex()));
    auto* context = static_cast<CTlsClientContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    // A session is only as good as the verification it passed: none is kept from an origin
    // whose certificate did not verify (with verification on, such a handshake fails anyway).
    if (origin && context
        && (!context->m_bVerify || SSL_get_verify_result(ssl) == X509_V_OK))
        context->m_Sessions.Put(*origin, session);
    return 0; // the cache took its own reference
}

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
    SSL_CTX_set_app_data(ctx, context.get());
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, &CTlsClientContext::OnNewSession);
    if (!verify) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        return context;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, &CVerifiedChains::Verify, &context->m_Chains);
    UseSystemRoots(ctx);
    if (!extraCaFile.empty() && SSL_CTX_load_verify_locations(ctx, extraCaFile.c_str(), nullptr) != 1) {
        error = "cannot read the root certificates in " + extraCaFile + ": "
                + TakeOpenSslError("no certificate found");
        return nullptr;
    }
    return context;
}

std::unique_ptr<CTlsSession> CTlsClientContext::NewSession(const std::string& host, int port)
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
        if (port > 0) {
            auto origin = std::make_unique<std::string>(name + ":" + std::to_string(port));
            const std::string& key = *origin;
            if (SSL_set_ex_data(ssl.get(), OriginIndex(), origin.get()) == 1) {
                origin.release(); // the connection frees it (FreeOrigin)
                if (SSL_SESSION* kept = m_Sessions.Take(key)) {
                    SSL_set_session(ssl.get(), kept);
                    SSL_SESSION_free(kept); // the connection holds its own reference
                }
            }
        }
    }
    return std::make_unique<CTlsSession>(std::move(ssl), TlsRole::Client, name, shared_from_this());
}
