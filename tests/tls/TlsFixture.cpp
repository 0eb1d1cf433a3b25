#include "tls/TlsFixture.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

void TlsFixture::SetUp()
{
    char pattern[] = "/tmp/kestrune-tls-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    m_folder = std::string(pattern) + "/Varnel"; // made by the authority on first use
    std::string error;
    m_authority = CCertAuthority::Open(m_folder, error);
    ASSERT_TRUE(m_authority) << error;
}

void TlsFixture::TearDown()
{
    std::filesystem::remove_all(std::filesystem::path(m_folder).parent_path());
}

TlsFixture::Issued TlsFixture::Issue(const std::string& san, long notBefore, long notAfter,
                                     const Issued* issuer)
{
    Issued issued{X509Ptr(X509_new()), NewP256Key()};
    X509* cert = issued.cert.get();
    X509_set_version(cert, X509_VERSION_3);
    SetRandomSerial(cert);
    static int serial = 0;
    const std::string name = (issuer ? "Test origin " : "Test root ") + std::to_string(++serial);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509* issuerCert = issuer ? issuer->cert.get() : cert;
    X509_set_issuer_name(cert, X509_get_subject_name(issuerCert));
    X509_gmtime_adj(X509_getm_notBefore(cert), notBefore);
    X509_gmtime_adj(X509_getm_notAfter(cert), notAfter);
    X509_set_pubkey(cert, issued.key.get());
    if (issuer)
        AddExtension(cert, issuerCert, NID_subject_alt_name, san);
    else
        AddExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
    X509_sign(cert, issuer ? issuer->key.get() : issued.key.get(), EVP_sha256());
    return issued;
}

std::string TlsFixture::WritePem(const std::string& name, X509* cert) const
{
    const std::string path = m_folder + "/" + name;
    FILE* file = std::fopen(path.c_str(), "wb");
    const std::string pem = ToPem(cert);
    std::fwrite(pem.data(), 1, pem.size(), file);
    std::fclose(file);
    return path;
}

std::unique_ptr<CTlsSession> TlsFixture::OriginSession(const Issued& identity)
{
    auto ctx = std::shared_ptr<SSL_CTX>(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    SSL_CTX_use_certificate(ctx.get(), identity.cert.get());
    SSL_CTX_use_PrivateKey(ctx.get(), identity.key.get());
    return std::make_unique<CTlsSession>(SslPtr(SSL_new(ctx.get())), TlsRole::Server, "", ctx);
}

void TlsFixture::Pump(CTlsSession& a, CTlsSession& b)
{
    for (int round = 0; round < 1000; ++round) {
        const std::string toB = a.TakeCiphertext();
        const std::string toA = b.TakeCiphertext();
        if (toA.empty() && toB.empty())
            return;
        b.PutCiphertext(toB);
        a.PutCiphertext(toA);
    }
    ADD_FAILURE() << "the sessions kept talking";
}
