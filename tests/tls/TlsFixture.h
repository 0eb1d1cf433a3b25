#pragma once
#include "tls/CertAuthority.h"
#include "tls/TlsSession.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

// A temporary settings folder with Kestrune's root in it, and OpenSSL certificates made to order
// for origins that should or should not pass verification.
class TlsFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    struct Issued {
        X509Ptr cert;
        PKeyPtr key;
    };
    // A P-256 certificate for san ("DNS:name" or "IP:addr"), valid from notBefore to notAfter
    // seconds from now, signed by issuer (self-signed as a root when issuer is null).
    static Issued Issue(const std::string& san, long notBefore, long notAfter,
                        const Issued* issuer = nullptr);
    // Writes cert as PEM into the folder and returns its path.
    std::string WritePem(const std::string& name, X509* cert) const;

    // An origin answering with the given certificate, as a server-role session.
    static std::unique_ptr<CTlsSession> OriginSession(const Issued& identity);

    // Moves ciphertext between the two sessions until neither has any to send.
    static void Pump(CTlsSession& a, CTlsSession& b);

    std::string m_folder;
    std::shared_ptr<CCertAuthority> m_authority;
};
