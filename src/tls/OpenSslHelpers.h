#pragma once
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

// Owning pointers for the OpenSSL objects the TLS code keeps.
struct COpenSslFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
    void operator()(SSL* p) const { SSL_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(X509_NAME* p) const { X509_NAME_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};

using PKeyPtr = std::unique_ptr<EVP_PKEY, COpenSslFree>;
using X509Ptr = std::unique_ptr<X509, COpenSslFree>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, COpenSslFree>;
using SslPtr = std::unique_ptr<SSL, COpenSslFree>;
using BioPtr = std::unique_ptr<BIO, COpenSslFree>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, COpenSslFree>;

// The TLS 1.3 suites both sides offer, in the order they prefer them.
inline constexpr char kTls13Suites[] =
    "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384";

// A new reference to an object another owner keeps.
inline X509Ptr ShareX509(X509* cert)
{
    X509_up_ref(cert);
    return X509Ptr(cert);
}
inline PKeyPtr ShareKey(EVP_PKEY* key)
{
    EVP_PKEY_up_ref(key);
    return PKeyPtr(key);
}

// The oldest error on this thread's OpenSSL error queue as text (the queue is emptied), or
// fallback when the queue holds none.
std::string TakeOpenSslError(const char* fallback);

// A new ECDSA key on the P-256 curve, or null.
PKeyPtr NewP256Key();

// A random positive 127-bit serial number for cert; false when it cannot be set.
bool SetRandomSerial(X509* cert);

// Adds one extension in OpenSSL's configuration syntax ("critical,CA:TRUE"), with issuer and
// subject taken from the certificates given; false when it does not parse.
bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value);
// The same extension made once, to be added to many certificates (X509_add_ext copies it);
// null when it does not parse.
X509ExtensionPtr MakeExtension(X509* cert, X509* issuer, int nid, const std::string& value);

// The DNS names and IP addresses cert's subjectAltName lists, for a message: comma-separated,
// at most the first few (then ", and N more"), each cut short and with unprintable bytes as
// '?', since the names come from whoever sent the certificate; "none" when it lists none.
std::string DescribeSubjectAltNames(X509* cert);

// The certificate in PEM.
std::string ToPem(X509* cert);
