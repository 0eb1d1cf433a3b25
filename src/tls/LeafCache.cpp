#include "tls/LeafCache.h"

#include "http/AsciiCase.h"
#include "tls/CertAuthority.h"

#include <openssl/ec.h>

#include <arpa/inet.h>

#include <algorithm>

namespace {

// A DNS name fit for a certificate: letters, digits, hyphens and underscores in labels of 1 to
// 63 bytes, 253 bytes at most. Anything else a browser sent as SNI or CONNECT host is refused
// rather than written into a certificate.
bool IsCertificateName(const std::string& name)
{
    if (name.empty() || name.size() > 253)
        return false;
    std::size_t label = 0;
    for (const char c : name) {
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
            continue;
        }
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok || ++label > 63)
            return false;
    }
    return label > 0;
}

// The key all leaves share, held the way OpenSSL's own EC code holds keys rather than as a
// provider's key: putting a provider's key into a certificate encodes it and decodes it back
// through the provider's coders, which costs more than all the rest of minting; this form is
// written straight from the key. It signs in handshakes just the same.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
PKeyPtr NewLeafKey()
{
    PKeyPtr key(EVP_PKEY_new());
    EC_KEY* ec = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
    if (!key || !ec || EC_KEY_generate_key(ec) != 1 || EVP_PKEY_assign_EC_KEY(key.get(), ec) != 1) {
        EC_KEY_free(ec);
        return NewP256Key(); // the slower form still works
    }
    return key;
}
#pragma GCC diagnostic pop

bool IsAddress(const std::string& host)
{
    unsigned char bytes[16];
    return ::inet_pton(AF_INET, host.c_str(), bytes) == 1
           || ::inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

} // namespace

CLeafCache::CLeafCache(const CCertAuthority& authority, std::size_t capacity)
    : m_authority(authority)
    , m_capacity(std::max<std::size_t>(capacity, 1))
    , m_key(NewLeafKey()) // made with the context, before the first browser waits for a leaf
{
}

X509* CLeafCache::GetRoot() const { return m_authority.GetCertificate(); }

std::string CLeafCache::KeyOf(const std::string& host)
{
    std::string key = host;
    if (key.size() >= 2 && key.front() == '[' && key.back() == ']')
        key = key.substr(1, key.size() - 2);
    key = LowerAscii(key);
    if (!key.empty() && key.back() == '.')
        key.pop_back(); // "example.com." names the same host
    return key;
}

bool CLeafCache::IsMintable(const std::string& key)
{
    return IsAddress(key) || IsCertificateName(key);
}

bool CLeafCache::CanMake(const std::string& host, std::string& error) const
{
    const std::string key = KeyOf(host);
    if (m_leaves.count(key) || IsMintable(key))
        return true;
    error = "no certificate can be made for the host name \"" + host.substr(0, 300) + "\"";
    return false;
}

X509* CLeafCache::GetLeaf(const std::string& host, std::string& error)
{
    const std::string key = KeyOf(host);
    if (auto found = m_leaves.find(key); found != m_leaves.end()) {
        m_order.splice(m_order.begin(), m_order, found->second);
        return found->second->leaf.get();
    }
    if (!CanMake(host, error))
        return nullptr;
    X509Ptr leaf = Mint(key, IsAddress(key), error);
    if (!leaf)
        return nullptr;
    if (m_leaves.size() >= m_capacity) {
        m_leaves.erase(m_order.back().host);
        m_order.pop_back();
    }
    m_order.push_front(Entry{key, std::move(leaf)});
    m_leaves[key] = m_order.begin();
    ++m_nMinted;
    return m_order.front().leaf.get();
}

X509Ptr CLeafCache::Mint(const std::string& host, bool isAddress, std::string& error)
{
    if (!m_key) {
        m_key = NewLeafKey(); // out of memory when the cache was made
        m_Before.clear();     // their key identifier was another key's
        m_After.clear();
    }
    X509* root = m_authority.GetCertificate();
    X509Ptr cert(X509_new());
    if (!m_key || !cert || X509_set_version(cert.get(), X509_VERSION_3) != 1
        || !SetRandomSerial(cert.get())) {
        error = "cannot make a certificate: " + TakeOpenSslError("out of memory");
        return nullptr;
    }
    X509_NAME* subject = X509_get_subject_name(cert.get());
    if (host.size() <= 64) // the longest common name allowed; the SAN alone names the host
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(host.c_str()), -1, -1, 0);
    X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Kestrune"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(root));
    // Backdated a little for clocks behind ours, and 397 days in all, the longest that browsers
    // accept; never beyond the root's own end.
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kBackdateSeconds);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValidSeconds - kBackdateSeconds);
    if (X509_cmp_time(X509_get0_notAfter(root), nullptr) > 0
        && ASN1_TIME_compare(X509_get0_notAfter(cert.get()), X509_get0_notAfter(root)) > 0)
        X509_set1_notAfter(cert.get(), X509_get0_notAfter(root));
    X509_set_pubkey(cert.get(), m_key.get());
    const std::string san = (isAddress ? "IP:" : "DNS:") + host;
    if (!AddExtensions(cert.get(), san) || X509_sign(cert.get(), m_authority.GetKey(), EVP_sha256()) <= 0) {
        error = "cannot make a certificate for " + host + ": "
                + TakeOpenSslError("unknown OpenSSL error");
        return nullptr;
    }
    return cert;
}

bool CLeafCache::AddExtensions(X509* cert, const std::string& san)
{
    X509* root = m_authority.GetCertificate();
    if (m_Before.empty() || m_After.empty()) {
        m_Before.clear();
        m_After.clear();
        m_Before.push_back(MakeExtension(cert, root, NID_basic_constraints, "critical,CA:FALSE"));
        m_Before.push_back(MakeExtension(cert, root, NID_key_usage, "critical,digitalSignature"));
        m_Before.push_back(MakeExtension(cert, root, NID_ext_key_usage, "serverAuth"));
        m_After.push_back(MakeExtension(cert, root, NID_subject_key_identifier, "hash"));
        m_After.push_back(MakeExtension(cert, root, NID_authority_key_identifier, "keyid:always"));
        for (const auto* list : {&m_Before, &m_After}) {
            for (const X509ExtensionPtr& extension : *list) {
                if (!extension) {
                    m_Before.clear();
                    m_After.clear();
                    return false;
                }
            }
        }
    }
    for (const X509ExtensionPtr& extension : m_Before) {
        if (X509_add_ext(cert, extension.get(), -1) != 1)
            return false;
    }
    if (!AddExtension(cert, root, NID_subject_alt_name, san))
        return false;
    for (const X509ExtensionPtr& extension : m_After) {
        if (X509_add_ext(cert, extension.get(), -1) != 1)
            return false;
    }
    return true;
}
