#include "tls/LeafCache.h"
#include "tls/TlsFixture.h"

#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string SanOf(X509* cert)
{
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    std::string text;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_DNS)
            text += "DNS:" + std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)));
        else if (name->type == GEN_IPADD)
            text += "IP:" + std::to_string(ASN1_STRING_length(name->d.iPAddress)) + "bytes";
    }
    GENERAL_NAMES_free(names);
    return text;
}

bool VerifiesUnder(X509* leaf, X509* root)
{
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, root);
    X509_STORE_CTX* context = X509_STORE_CTX_new();
    X509_STORE_CTX_init(context, store, leaf, nullptr);
    const bool ok = X509_verify_cert(context) == 1;
    X509_STORE_CTX_free(context);
    X509_STORE_free(store);
    return ok;
}

} // namespace

using CertAuthorityTest = TlsFixture;

TEST_F(CertAuthorityTest, RootIsMadeOnceKeptPrivateAndRenewedOnRequest)
{
    const std::string fingerprint = m_authority->GetFingerprint();
    EXPECT_EQ(fingerprint.size(), 32u * 3 - 1);
    struct stat key {};
    ASSERT_EQ(::stat(m_authority->GetKeyPath().c_str(), &key), 0);
    EXPECT_EQ(key.st_mode & 0777, 0600u);
    EXPECT_EQ(m_authority->GetCertificatePath(), m_folder + "/" + CCertAuthority::kCertFileName);
    // Ten years, as a certificate authority.
    int days = 0, seconds = 0;
    ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(m_authority->GetCertificate()),
                   X509_get0_notAfter(m_authority->GetCertificate()));
    EXPECT_GE(days, 3650);
    EXPECT_EQ(X509_check_ca(m_authority->GetCertificate()), 1);

    std::string error;
    EXPECT_EQ(CCertAuthority::Open(m_folder, error)->GetFingerprint(), fingerprint) << error;

    // The export is the certificate alone.
    const std::string exported = m_folder + "/exported.pem";
    ASSERT_TRUE(m_authority->ExportPem(exported, error)) << error;
    EXPECT_EQ(ReadFile(exported), ReadFile(m_authority->GetCertificatePath()));
    EXPECT_EQ(ReadFile(exported).find("PRIVATE"), std::string::npos);

    auto renewed = CCertAuthority::Renew(m_folder, error);
    ASSERT_TRUE(renewed) << error;
    EXPECT_NE(renewed->GetFingerprint(), fingerprint);
    EXPECT_EQ(CCertAuthority::Open(m_folder, error)->GetFingerprint(), renewed->GetFingerprint());

    // A damaged root is reported, not silently replaced.
    std::ofstream(m_authority->GetCertificatePath()) << "garbage";
    error.clear();
    EXPECT_FALSE(CCertAuthority::Open(m_folder, error));
    EXPECT_NE(error.find("cannot be used"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(m_authority->GetCertificatePath()), "garbage");
}

TEST_F(CertAuthorityTest, LeavesNameTheirHostAreSignedByTheRootAndCached)
{
    CLeafCache leaves(*m_authority, 2);
    std::string error;
    X509* name = leaves.GetLeaf("WWW.Example.com.", error);
    ASSERT_TRUE(name) << error;
    EXPECT_EQ(SanOf(name), "DNS:www.example.com");
    const int extensions = X509_get_ext_count(name);
    EXPECT_EQ(X509_check_host(name, "www.example.com", 0, 0, nullptr), 1);
    EXPECT_TRUE(VerifiesUnder(name, m_authority->GetCertificate()));
    int days = 0, seconds = 0;
    ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(name), X509_get0_notAfter(name));
    EXPECT_LE(days * 86400L + seconds, 397L * 86400);
    EXPECT_LT(X509_cmp_current_time(X509_get0_notBefore(name)), 0); // backdated
    EXPECT_EQ(leaves.GetLeaf("www.example.com", error), name);

    X509* v4 = leaves.GetLeaf("127.0.0.1", error);
    ASSERT_TRUE(v4) << error;
    EXPECT_EQ(SanOf(v4), "IP:4bytes");
    EXPECT_EQ(X509_check_ip_asc(v4, "127.0.0.1", 0), 1);
    X509* v6 = leaves.GetLeaf("[::1]", error);
    ASSERT_TRUE(v6) << error;
    EXPECT_EQ(SanOf(v6), "IP:16bytes");
    // Later leaves carry the same extensions, made once, and verify alike.
    EXPECT_EQ(X509_get_ext_count(v6), extensions);
    EXPECT_TRUE(VerifiesUnder(v6, m_authority->GetCertificate()));
    // Capacity 2: the oldest leaf went; asking again mints a new one.
    EXPECT_EQ(leaves.GetSize(), 2u);
    EXPECT_EQ(leaves.GetMintCount(), 3u);
    leaves.GetLeaf("www.example.com", error);
    EXPECT_EQ(leaves.GetMintCount(), 4u);

    // Asking whether a name can have one mints nothing, and agrees with the mint.
    EXPECT_TRUE(leaves.CanMake("new.example.com", error) && leaves.CanMake("[::2]", error));
    EXPECT_EQ(leaves.GetMintCount(), 4u);
    for (const char* bad : {"", "a b", "*.example.com", "x..y", "bad\r\nname"}) {
        error.clear();
        EXPECT_FALSE(leaves.CanMake(bad, error)) << bad;
        EXPECT_FALSE(leaves.GetLeaf(bad, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}
