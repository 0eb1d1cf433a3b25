#pragma once
#include "tls/OpenSslHelpers.h"

#include <cstddef>
#include <memory>
#include <string>

enum class TlsRole { Server, Client };   // Server: facing the browser; Client: facing the origin
enum class TlsStatus { Handshaking, Open, Failed };
enum class TlsFailure {
    None,
    PeerRefused,  // the peer sent an alert or hung up during the handshake
    Verify,       // the origin's certificate did not verify
    Protocol,     // anything else: no common version or cipher, bad records, no certificate
};

// One TLS connection without any socket: ciphertext from the peer goes in, plaintext comes out;
// plaintext to send goes in, ciphertext for the peer comes out. Every call does as much of the
// handshake, decryption and encryption as the bytes given so far allow ("needs more bytes" is
// no error) and never blocks. The owner moves the bytes between this object and its socket and
// bounds them as it bounds plain bytes. Made by CTlsServerContext or CTlsClientContext, which
// it keeps alive.
class CTlsSession {
public:
    CTlsSession(SslPtr ssl, TlsRole role, std::string peerName, std::shared_ptr<const void> context);
    ~CTlsSession();
    CTlsSession(const CTlsSession&) = delete;
    CTlsSession& operator=(const CTlsSession&) = delete;

    void PutCiphertext(const char* data, std::size_t size);
    void PutCiphertext(const std::string& bytes) { PutCiphertext(bytes.data(), bytes.size()); }
    // The peer's socket reached its end: what was given before is still decrypted.
    void PutEndOfStream();
    // Takes ciphertext without working on it: Continue() does, later.
    void HoldCiphertext(const std::string& bytes);
    void Continue() { Advance(); }
    // Encrypted as soon as the handshake allows, in order.
    void QueuePlaintext(const char* data, std::size_t size);
    void QueuePlaintext(const std::string& bytes) { QueuePlaintext(bytes.data(), bytes.size()); }
    // close_notify, after all plaintext queued so far.
    void Shutdown();

    std::string TakePlaintext();
    std::string TakeCiphertext();
    // The same without copies: the plaintext into an empty string (whose buffer the session
    // keeps for the next bytes), the ciphertext appended to out.
    void SwapPlaintext(std::string& empty);
    void AppendCiphertext(std::string& out);
    std::size_t GetPlaintextSize() const { return m_in.size(); }
    std::size_t GetCiphertextSize() const;
    std::size_t GetQueuedPlaintextSize() const { return m_out.size(); }

    TlsRole GetRole() const { return m_role; }
    TlsStatus GetStatus() const { return m_status; }
    bool IsOpen() const { return m_status == TlsStatus::Open; }
    // The handshake resumed an earlier session (no certificate was sent again).
    bool IsResumed() const { return m_ssl && SSL_session_reused(m_ssl.get()) == 1; }
    TlsFailure GetFailure() const { return m_failure; }
    // Why the session failed, as one sentence for a 502 page and a debug line.
    const std::string& GetError() const { return m_error; }

    // The peer will send nothing more: with its close_notify, or (truncated) without one.
    bool HasPeerClosed() const { return m_bPeerClosed; }
    bool HasPeerSentCloseNotify() const { return m_bCloseNotify; }
    bool HasSentCloseNotify() const { return m_bSentCloseNotify; }

    // Server role: the name the browser asked for (SNI), empty when it sent none.
    const std::string& GetServerName() const { return m_serverName; }
    // The name the certificate was made for or is verified against.
    const std::string& GetPeerName() const { return m_peerName; }
    std::string GetAlpn() const;

    // Server role: makes one TLS 1.3 session ticket now, its ciphertext ready to take; false
    // when none can be made (TLS 1.2 sends its ticket in the handshake, or the session is not
    // open).
    bool IssueTicket();

    // Used by the server context's name callback.
    void SetServerName(std::string name) { m_serverName = std::move(name); }
    void SetCallbackError(std::string error) { m_callbackError = std::move(error); }

private:
    void Advance();
    void Write(const char*& data, std::size_t& size);
    void Fail(TlsFailure failure, std::string error);
    void HandleError(int result, const char* during);

    SslPtr m_ssl;
    BIO* m_rbio = nullptr; // owned by m_ssl
    BIO* m_wbio = nullptr; // owned by m_ssl
    TlsRole m_role;
    TlsStatus m_status = TlsStatus::Handshaking;
    TlsFailure m_failure = TlsFailure::None;
    std::string m_peerName;
    std::string m_serverName;
    std::string m_error;
    std::string m_callbackError;
    std::string m_in;  // decrypted, not yet taken
    std::string m_out; // to encrypt
    bool m_bEndOfStream = false;
    bool m_bPeerClosed = false;
    bool m_bCloseNotify = false;
    bool m_bShutdownWanted = false;
    bool m_bSentCloseNotify = false;
    std::shared_ptr<const void> m_context;
};

// What a failed verification of the origin's certificate means, in words a user can act on:
// "the certificate has expired", "unknown issuer: ...", "wrong name: ..." (with the names cert
// is for, when given).
std::string DescribeVerifyResult(long result, const std::string& host, X509* cert = nullptr);
