#pragma once
#include "tls/OpenSslHelpers.h"

#include <memory>
#include <string>

// Kestrune's own root certificate authority: an ECDSA P-256 root valid ten years, kept in a
// folder (the one that holds the settings file) as two files, the certificate and its key. The
// key file is readable by its owner only and is written whole or not at all; nothing but the
// certificate ever leaves the folder, and only through ExportPem.
class CCertAuthority {
public:
    static constexpr const char* kCertFileName = "kestrune-root-ca.pem";
    static constexpr const char* kKeyFileName = "kestrune-root-ca.key";

    // The root kept in folder, made (and the folder too) when neither file exists yet. Null
    // with error set when the files cannot be read, do not belong together or cannot be
    // written; a damaged root is never replaced without being asked (Renew).
    static std::unique_ptr<CCertAuthority> Open(const std::string& folder, std::string& error);
    // A new root replacing the one in folder (both files), for a root that leaked or broke.
    static std::unique_ptr<CCertAuthority> Renew(const std::string& folder, std::string& error);

    X509* GetCertificate() const { return m_cert.get(); }
    EVP_PKEY* GetKey() const { return m_key.get(); }

    std::string GetCertificatePem() const { return ToPem(m_cert.get()); }
    // SHA-256 of the certificate's DER form as upper-case hex pairs joined by colons.
    std::string GetFingerprint() const;
    std::string GetCertificatePath() const;
    std::string GetKeyPath() const;

    // Writes the certificate (never the key) in PEM to file; false with error set on failure.
    bool ExportPem(const std::string& file, std::string& error) const;

private:
    CCertAuthority(std::string folder, X509Ptr cert, PKeyPtr key);

    static std::unique_ptr<CCertAuthority> Make(const std::string& folder, std::string& error);

    std::string m_folder;
    X509Ptr m_cert;
    PKeyPtr m_key;
};
