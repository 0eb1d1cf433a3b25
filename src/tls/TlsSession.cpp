#include "tls/TlsSession.h"

#include <openssl/err.h>

namespace {
constexpr std::size_t kReadChunk = 16384;

// Alerts a browser sends when it does not trust the certificate it was shown.
bool IsCertificateAlert(int reason)
{
    const int alert = reason - SSL_AD_REASON_OFFSET;
    return alert == SSL_AD_BAD_CERTIFICATE || alert == SSL_AD_UNSUPPORTED_CERTIFICATE
           || alert == SSL_AD_CERTIFICATE_REVOKED || alert == SSL_AD_CERTIFICATE_EXPIRED
           || alert == SSL_AD_CERTIFICATE_UNKNOWN || alert == SSL_AD_UNKNOWN_CA
           || alert == SSL_AD_ACCESS_DENIED || alert == SSL_AD_DECRYPT_ERROR;
}
// The certificate the peer sent, kept even when it failed verification (as the first of the
// chain a client is sent); null before it came.
X509* PeerLeaf(SSL* ssl)
{
    STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl);
    return chain && sk_X509_num(chain) > 0 ? sk_X509_value(chain, 0) : nullptr;
}
} // namespace

std::string DescribeVerifyResult(long result, const std::string& host, X509* cert)
{
    switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "the certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "the certificate is not valid yet";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return "unknown issuer: the certificate is not signed by a trusted authority";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "wrong name: the certificate is not valid for " + host
               + (cert ? " (it is for " + DescribeSubjectAltNames(cert) + ")" : "");
    default:
        return std::string("the certificate was refused: ") + X509_verify_cert_error_string(result);
    }
}

CTlsSession::CTlsSession(SslPtr ssl, TlsRole role, std::string peerName,
                         std::shared_ptr<const void> context)
    : m_ssl(std::move(ssl))
    , m_role(role)
    , m_peerName(std::move(peerName))
    , m_context(std::move(context))
{
    m_rbio = BIO_new(BIO_s_mem());
    m_wbio = BIO_new(BIO_s_mem());
    if (!m_ssl || !m_rbio || !m_wbio) {
        BIO_free(m_rbio);
        BIO_free(m_wbio);
        m_rbio = m_wbio = nullptr;
        Fail(TlsFailure::Protocol, "cannot start TLS: " + TakeOpenSslError("out of memory"));
        return;
    }
    BIO_set_mem_eof_return(m_rbio, -1); // an empty buffer means "more bytes later", not the end
    SSL_set_bio(m_ssl.get(), m_rbio, m_wbio);
    SSL_set_app_data(m_ssl.get(), this);
    SSL_set_mode(m_ssl.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER
                                  | SSL_MODE_RELEASE_BUFFERS);
    if (role == TlsRole::Server)
        SSL_set_accept_state(m_ssl.get());
    else
        SSL_set_connect_state(m_ssl.get());
    Advance(); // the client's first flight is ready at once
}

CTlsSession::~CTlsSession()
{
    if (!m_ssl)
        return;
    SSL_set_app_data(m_ssl.get(), nullptr);
    // OpenSSL makes the session of a connection freed before it sent close_notify unresumable;
    // one that never failed (the origin closed first, or the pair went) stays good for the next.
    if (m_role == TlsRole::Client && m_status == TlsStatus::Open)
        SSL_set_shutdown(m_ssl.get(), SSL_get_shutdown(m_ssl.get()) | SSL_SENT_SHUTDOWN);
}

void CTlsSession::PutCiphertext(const char* data, std::size_t size)
{
    if (m_status == TlsStatus::Failed || m_bEndOfStream || size == 0)
        return;
    BIO_write(m_rbio, data, static_cast<int>(size));
    Advance();
}

void CTlsSession::HoldCiphertext(const std::string& bytes)
{
    if (m_status != TlsStatus::Failed && !m_bEndOfStream && !bytes.empty())
        BIO_write(m_rbio, bytes.data(), static_cast<int>(bytes.size()));
}

void CTlsSession::PutEndOfStream()
{
    if (m_status == TlsStatus::Failed || m_bEndOfStream)
        return;
    m_bEndOfStream = true;
    BIO_set_mem_eof_return(m_rbio, 0);
    Advance();
}

void CTlsSession::QueuePlaintext(const char* data, std::size_t size)
{
    if (m_status == TlsStatus::Failed || m_bShutdownWanted)
        return;
    // Once open, nothing waits and the bytes are encrypted straight from the caller's buffer.
    if (m_status == TlsStatus::Open && m_out.empty()) {
        Write(data, size);
        if (m_status == TlsStatus::Failed)
            return;
    }
    m_out.append(data, size);
    Advance();
}

void CTlsSession::Shutdown()
{
    m_bShutdownWanted = true;
    Advance();
}

std::string CTlsSession::TakePlaintext()
{
    std::string bytes;
    bytes.swap(m_in);
    return bytes;
}

void CTlsSession::SwapPlaintext(std::string& empty)
{
    empty.swap(m_in);
    m_in.clear();
}

void CTlsSession::AppendCiphertext(std::string& out)
{
    const std::size_t pending = GetCiphertextSize();
    if (pending == 0)
        return;
    const std::size_t before = out.size();
    out.resize(before + pending);
    const int n = BIO_read(m_wbio, out.data() + before, static_cast<int>(pending));
    out.resize(before + (n > 0 ? static_cast<std::size_t>(n) : 0));
}

std::size_t CTlsSession::GetCiphertextSize() const
{
    return m_wbio ? BIO_ctrl_pending(m_wbio) : 0;
}

std::string CTlsSession::TakeCiphertext()
{
    std::string bytes(GetCiphertextSize(), '\0');
    if (!bytes.empty()) {
        const int n = BIO_read(m_wbio, bytes.data(), static_cast<int>(bytes.size()));
        bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    return bytes;
}

std::string CTlsSession::GetAlpn() const
{
    const unsigned char* protocol = nullptr;
    unsigned int size = 0;
    if (m_ssl)
        SSL_get0_alpn_selected(m_ssl.get(), &protocol, &size);
    return protocol ? std::string(reinterpret_cast<const char*>(protocol), size) : std::string();
}

bool CTlsSession::IssueTicket()
{
    if (m_role != TlsRole::Server || m_status != TlsStatus::Open || m_bShutdownWanted
        || SSL_version(m_ssl.get()) != TLS1_3_VERSION || SSL_new_session_ticket(m_ssl.get()) != 1)
        return false;
    const int result = SSL_do_handshake(m_ssl.get());
    if (result != 1) {
        HandleError(result, "session ticket");
        return false;
    }
    return true;
}

void CTlsSession::Fail(TlsFailure failure, std::string error)
{
    m_status = TlsStatus::Failed;
    m_failure = failure;
    m_error = std::move(error);
    m_out.clear();
    ERR_clear_error();
}

void CTlsSession::HandleError(int result, const char* during)
{
    const int code = SSL_get_error(m_ssl.get(), result);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE)
        return;
    const char* peer = m_role == TlsRole::Server ? "the browser" : "the origin server";
    if (code == SSL_ERROR_ZERO_RETURN) {
        m_bPeerClosed = m_bCloseNotify = true;
        if (m_status == TlsStatus::Handshaking)
            Fail(TlsFailure::PeerRefused, std::string(peer) + " ended TLS during the handshake");
        return;
    }
    const unsigned long error = ERR_peek_error();
    const int reason = ERR_GET_REASON(error);
    if (m_status == TlsStatus::Handshaking) {
        if (m_role == TlsRole::Client && SSL_get_verify_result(m_ssl.get()) != X509_V_OK) {
            Fail(TlsFailure::Verify, "the certificate of " + m_peerName + " failed verification: "
                                         + DescribeVerifyResult(SSL_get_verify_result(m_ssl.get()),
                                                                m_peerName, PeerLeaf(m_ssl.get())));
        } else if (!m_callbackError.empty()) {
            Fail(TlsFailure::Protocol, m_callbackError);
        } else if (m_bEndOfStream || (code == SSL_ERROR_SSL && reason == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
            Fail(TlsFailure::PeerRefused,
                 std::string(peer) + " closed the connection during the TLS handshake"
                     + (m_role == TlsRole::Server ? " (it may not trust Kestrune's root certificate)" : ""));
        } else if (code == SSL_ERROR_SSL && reason >= SSL_AD_REASON_OFFSET) {
            const bool certificate = IsCertificateAlert(reason);
            Fail(certificate || m_role == TlsRole::Server ? TlsFailure::PeerRefused : TlsFailure::Protocol,
                 std::string(peer) + " refused the TLS handshake ("
                     + TakeOpenSslError("alert") + ")"
                     + (m_role == TlsRole::Server && certificate
                            ? ": it does not trust Kestrune's root certificate" : ""));
        } else {
            Fail(TlsFailure::Protocol, std::string("TLS handshake with ") + peer + " failed: "
                                           + TakeOpenSslError("connection error"));
        }
        return;
    }
    // After the handshake the end of the stream without close_notify is a truncation: what
    // came before it is kept and the peer counts as closed.
    if (m_bEndOfStream && (code == SSL_ERROR_SYSCALL || reason == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
        m_bPeerClosed = true;
        ERR_clear_error();
        return;
    }
    Fail(TlsFailure::Protocol, std::string("TLS ") + during + " with " + peer + " failed: "
                                   + TakeOpenSslError("connection error"));
}

// Encrypts what it can of data (all of it, as the memory BIO takes any amount), moving data and
// size past what was taken.
void CTlsSession::Write(const char*& data, std::size_t& size)
{
    while (size > 0) {
        std::size_t written = 0;
        const int result = SSL_write_ex(m_ssl.get(), data, size, &written);
        if (result != 1) {
            HandleError(result, "write");
            return;
        }
        data += written;
        size -= written;
    }
}

void CTlsSession::Advance()
{
    if (m_status == TlsStatus::Failed)
        return;
    if (m_status == TlsStatus::Handshaking) {
        const int result = SSL_do_handshake(m_ssl.get());
        if (result != 1) {
            HandleError(result, "handshake");
            return;
        }
        m_status = TlsStatus::Open;
        // Only HTTP/1.1 is offered to the origin: any other answer is a broken peer.
        const std::string alpn = GetAlpn();
        if (m_role == TlsRole::Client && !alpn.empty() && alpn != "http/1.1") {
            Fail(TlsFailure::Protocol, "the origin server " + m_peerName + " chose the protocol \""
                                           + alpn + "\", which was not offered");
            return;
        }
    }
    if (!m_out.empty()) {
        const char* data = m_out.data();
        std::size_t size = m_out.size();
        Write(data, size);
        if (m_status == TlsStatus::Failed)
            return;
        m_out.erase(0, m_out.size() - size);
    }
    while (!m_bPeerClosed) {
        // Nothing new to decrypt: spare the read (and the clearing of its buffer).
        if (!m_bEndOfStream && BIO_ctrl_pending(m_rbio) == 0 && !SSL_has_pending(m_ssl.get()))
            break;
        const std::size_t before = m_in.size();
        m_in.resize(before + kReadChunk);
        std::size_t got = 0;
        const int result = SSL_read_ex(m_ssl.get(), m_in.data() + before, kReadChunk, &got);
        m_in.resize(before + got);
        if (result != 1) {
            HandleError(result, "read");
            if (m_status == TlsStatus::Failed)
                return;
            break;
        }
    }
    if (m_bShutdownWanted && m_out.empty() && !m_bSentCloseNotify) {
        SSL_shutdown(m_ssl.get()); // queues close_notify; the peer's answer is not waited for
        m_bSentCloseNotify = true;
        ERR_clear_error();
    }
}
