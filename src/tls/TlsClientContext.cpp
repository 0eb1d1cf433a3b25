#include "tls/TlsClientContext.h"

#include "tls/TlsSession.h"

#include <openssl/err.h>

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
// or SSL_CERT_FILE or SSL_CERT_DIR choose other places, OpenSSL's default places are used: the
// folder (SSL_CERT_DIR's or the default) read the same way, and the bundle file (SSL_CERT_FILE's
// or the default), which is returned to be loaded whole off the event loop.
std::string UseSystemRoots(SSL_CTX* ctx)
{
    const char* folder = X509_get_default_cert_dir();
    const char* envFile = std::getenv(X509_get_default_cert_file_env());
    const char* envFolder = std::getenv(X509_get_default_cert_dir_env());
    if (!envFile && !envFolder && HasHashedNames(folder)
        && SSL_CTX_load_verify_dir(ctx, folder) == 1)
        return std::string();
    if (SSL_CTX_load_verify_dir(ctx, envFolder ? envFolder : folder) != 1)
        ERR_clear_error(); // a folder that is not there holds no roots, as with OpenSSL's defaults
    return envFile ? envFile : X509_get_default_cert_file();
}

// Where a connection's sessions are kept: under its origin ("name:port"), and under the server
// it reached (its address and port) when that is known.
struct SSessionKeys {
    std::string origin;
    std::string server;
};

void FreeOrigin(void*, void* keys, CRYPTO_EX_DATA*, int, long, void*)
{
    delete static_cast<SSessionKeys*>(keys);
}

// The server's entry in the cache: a space never occurs in an origin's "name:port".
std::string ServerKey(const std::string& server)
{
    return "server " + server;
}

// A TLS 1.3 session of one name may resume a connection to another name at the same server
// when the certificate it verified also names that one (RFC 8446, 4.6.1); TLS 1.2 ties a
// session to its name. Without verification there is nothing to match.
bool MayResumeFor(SSL_SESSION* session, const std::string& name, bool address, bool verify)
{
    if (SSL_SESSION_get_protocol_version(session) < TLS1_3_VERSION)
        return false;
    if (!verify)
        return true;
    X509* peer = SSL_SESSION_get0_peer(session);
    if (!peer)
        return false;
    return address ? X509_check_ip_asc(peer, name.c_str(), 0) == 1
                   : X509_check_host(peer, name.c_str(), 0, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS,
                                     nullptr) == 1;
}

// Where a connection's sessions are kept, set on connections that resume.
int OriginIndex()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeOrigin);
    return index;
}

} // namespace

int CTlsClientContext::OnNewSession(SSL* ssl, SSL_SESSION* session)
{
    const auto* keys = static_cast<const SSessionKeys*>(SSL_get_ex_data(ssl, OriginIndex()));
    auto* context = static_cast<CTlsClientContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    // A session is only as good as the verification it passed: none is kept from an origin
    // whose certificate did not verify (with verification on, such a handshake fails anyway).
    if (!keys || !context || (context->m_bVerify && SSL_get_verify_result(ssl) != X509_V_OK))
        return 0;
    // TLS 1.3 tickets are used once and a server sends one or more per connection: the server's
    // entry, shared by its names, gets one whenever it has none, the origin's the others.
    const bool shared = !keys->server.empty()
                        && SSL_SESSION_get_protocol_version(session) >= TLS1_3_VERSION;
    if (!shared || !context->m_Sessions.PutIfNone(ServerKey(keys->server), session))
        context->m_Sessions.Put(keys->origin, session);
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
    SSL_CTX_set_ciphersuites(ctx, kTls13Suites); // an origin that follows our order saves work
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
    SSL_CTX_set_cert_verify_callback(ctx, &CTlsClientContext::VerifyChain, context.get());
    const std::string bundle = UseSystemRoots(ctx);
    if (!extraCaFile.empty() && SSL_CTX_load_verify_locations(ctx, extraCaFile.c_str(), nullptr) != 1) {
        error = "cannot read the root certificates in " + extraCaFile + ": "
                + TakeOpenSslError("no certificate found");
        return nullptr;
    }
    if (!bundle.empty())
        context->m_Roots.Start(SSL_CTX_get_cert_store(ctx), bundle);
    return context;
}

int CTlsClientContext::VerifyChain(X509_STORE_CTX* store, void* context)
{
    auto& self = *static_cast<CTlsClientContext*>(context);
    self.m_Roots.Wait(); // at once but in the first moments after the start
    return CVerifiedChains::Verify(store, &self.m_Chains);
}

SSL_SESSION* CTlsClientContext::TakeSharedSession(const std::string& server,
                                                  const std::string& name, bool address)
{
    const std::string key = ServerKey(server);
    SSL_SESSION* session = m_Sessions.Take(key);
    if (!session || MayResumeFor(session, name, address, m_bVerify))
        return session;
    m_Sessions.PutIfNone(key, session); // for the server's other names
    SSL_SESSION_free(session);
    return nullptr;
}

std::unique_ptr<CTlsSession> CTlsClientContext::NewSession(const std::string& host, int port,
                                                           const std::string& server)
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
            auto keys = std::make_unique<SSessionKeys>(
                SSessionKeys{name + ":" + std::to_string(port), server});
            const SSessionKeys& key = *keys;
            if (SSL_set_ex_data(ssl.get(), OriginIndex(), keys.get()) == 1) {
                keys.release(); // the connection frees it (FreeOrigin)
                SSL_SESSION* kept = m_Sessions.Take(key.origin);
                if (!kept && !server.empty())
                    kept = TakeSharedSession(server, name, address);
                if (kept) {
                    SSL_set_session(ssl.get(), kept);
                    SSL_SESSION_free(kept); // the connection holds its own reference
                }
            }
        }
    }
    return std::make_unique<CTlsSession>(std::move(ssl), TlsRole::Client, name, shared_from_this());
}
