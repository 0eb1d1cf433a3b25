#include "tls/VerifiedChains.h"

#include <algorithm>

namespace {

// SHA-256 of each certificate the origin sent, its own first; empty when one cannot be made.
std::string ChainKey(X509_STORE_CTX* store)
{
    std::string key;
    auto add = [&key](X509* cert) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (!cert || X509_digest(cert, EVP_sha256(), digest, &size) != 1)
            return false;
        key.append(reinterpret_cast<const char*>(digest), size);
        return true;
    };
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (!add(leaf))
        return {};
    STACK_OF(X509)* sent = X509_STORE_CTX_get0_untrusted(store); // the leaf too, as sent
    for (int i = 0; sent && i < sk_X509_num(sent); ++i) {
        if (X509* cert = sk_X509_value(sent, i); cert != leaf && !add(cert))
            return {};
    }
    return key;
}

// The same match of the name or address the full verification makes, with the same flags.
bool NamesTheHost(X509_STORE_CTX* store)
{
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(store);
    if (const char* host = X509_VERIFY_PARAM_get0_host(param, 0))
        return X509_check_host(leaf, host, 0, X509_VERIFY_PARAM_get_hostflags(param), nullptr) == 1;
    char* address = X509_VERIFY_PARAM_get1_ip_asc(param);
    const bool matches = address && X509_check_ip_asc(leaf, address, 0) == 1;
    OPENSSL_free(address);
    return matches; // nothing to match: the full verification decides
}

bool ToTime(const ASN1_TIME* time, std::time_t& out)
{
    struct tm parts { };
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1)
        return false;
    out = ::timegm(&parts);
    return true;
}

} // namespace

int CVerifiedChains::Verify(X509_STORE_CTX* store, void* chains)
{
    auto& self = *static_cast<CVerifiedChains*>(chains);
    const std::string key = ChainKey(store);
    if (!key.empty() && self.Knows(key, std::time(nullptr)) && NamesTheHost(store)) {
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    const int verified = X509_verify_cert(store);
    if (verified == 1 && !key.empty())
        self.Remember(key, store);
    return verified == 1 ? 1 : 0;
}

bool CVerifiedChains::Knows(const std::string& key, std::time_t now) const
{
    const auto found = m_windows.find(key);
    return found != m_windows.end() && found->second.from <= now && now < found->second.until;
}

void CVerifiedChains::Remember(const std::string& key, X509_STORE_CTX* store)
{
    // Known while every certificate of the chain as built (up to the trusted root) is valid.
    Window window{0, 0};
    bool first = true;
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(store);
    for (int i = 0; chain && i < sk_X509_num(chain); ++i) {
        X509* cert = sk_X509_value(chain, i);
        std::time_t from = 0;
        std::time_t until = 0;
        if (!ToTime(X509_get0_notBefore(cert), from) || !ToTime(X509_get0_notAfter(cert), until))
            return;
        window.from = first ? from : std::max(window.from, from);
        window.until = first ? until : std::min(window.until, until);
        first = false;
    }
    if (first || m_windows.count(key))
        return;
    if (m_windows.size() >= kCapacity) {
        m_windows.erase(m_order.front());
        m_order.pop_front();
    }
    m_windows.emplace(key, window);
    m_order.push_back(key);
}
