#include "support/CredentialUpstream.h"

#include <openssl/ssl.h>
#include <sys/socket.h>

namespace {
const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";

std::string FirstLine(const std::string& head) { return head.substr(0, head.find("\r\n")); }
} // namespace

std::string ServeTlsRequest(BlockingStream& stream, X509* leaf, EVP_PKEY* key,
                            const std::string& reply)
{
    const timeval bound{5, 0};
    setsockopt(stream.Handle(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(context, leaf);
    SSL_CTX_use_PrivateKey(context, key);
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, stream.Handle());
    char buffer[4096];
    const int n = SSL_accept(ssl) == 1 ? SSL_read(ssl, buffer, sizeof buffer) : 0;
    if (n > 0) {
        SSL_write(ssl, reply.data(), static_cast<int>(reply.size()));
        SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    SSL_CTX_free(context);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

CredentialUpstream::CredentialUpstream(const CCertAuthority& root)
    : m_Leaves(root)
    , m_pLeaf(m_Leaves.GetLeaf(kOrigin, m_Error))
    , m_Server([this](BlockingStream& s) { Serve(s); })
{
}

std::vector<std::string> CredentialUpstream::Requests()
{
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_Requests;
}

void CredentialUpstream::Note(std::string line)
{
    std::lock_guard<std::mutex> hold(m_Lock);
    m_Requests.push_back(std::move(line));
}

void CredentialUpstream::Serve(BlockingStream& s)
{
    const std::string head = s.ReadUntil("\r\n\r\n");
    const std::size_t at = head.find("Proxy-Authorization: ");
    const std::string given =
        at == std::string::npos ? "" : head.substr(at + 21, head.find("\r\n", at) - at - 21);
    Note(FirstLine(head) + " | " + given);
    if (given != kCredentials) {
        s.Write("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n"
                "Content-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    if (head.rfind("CONNECT ", 0) != 0) {
        s.Write(kOk);
        return;
    }
    s.Write("HTTP/1.1 200 Connection established\r\n\r\n");
    Note("  tls " + FirstLine(ServeTlsRequest(s, m_pLeaf, m_Leaves.GetLeafKey(), kOk)));
}
