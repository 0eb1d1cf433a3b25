#pragma once
#include "tls/OpenSslHelpers.h"

#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

class CCertAuthority;

// Mints the certificates Kestrune shows the browser, one per host name or address, signed by
// the root and valid at most 397 days. All leaves share one key, made with the cache; the most
// recently used ones are kept so a host's later tunnels reuse its certificate.
class CLeafCache {
public:
    static constexpr std::size_t kDefaultCapacity = 512;
    static constexpr long kValidSeconds = 397L * 24 * 3600;
    static constexpr long kBackdateSeconds = 3600;

    explicit CLeafCache(const CCertAuthority& authority, std::size_t capacity = kDefaultCapacity);

    // The certificate for host: a DNS name (made lower case) or an IPv4 or IPv6 address (with
    // or without brackets). Null with error set for a host that cannot go in a certificate.
    X509* GetLeaf(const std::string& host, std::string& error);
    // Whether GetLeaf can give host a certificate, without minting it: the tunnel decides on
    // this, and the mint itself waits until the origin's handshake is under way.
    bool CanMake(const std::string& host, std::string& error) const;

    EVP_PKEY* GetLeafKey() const { return m_key.get(); }
    X509* GetRoot() const;
    std::size_t GetSize() const { return m_leaves.size(); }
    std::size_t GetMintCount() const { return m_nMinted; }

private:
    // The name a leaf is kept under: no brackets, lower case, no final dot.
    static std::string KeyOf(const std::string& host);
    static bool IsMintable(const std::string& key);
    X509Ptr Mint(const std::string& host, bool isAddress, std::string& error);
    // Adds the extensions every leaf has alike (made at the first mint: the leaves share their
    // key and issuer), with the host's subjectAltName among them.
    bool AddExtensions(X509* cert, const std::string& san);

    struct Entry {
        std::string host;
        X509Ptr leaf;
    };

    const CCertAuthority& m_authority;
    std::size_t m_capacity;
    PKeyPtr m_key;
    std::vector<X509ExtensionPtr> m_Before; // the extensions before the subjectAltName
    std::vector<X509ExtensionPtr> m_After;  // and after it
    std::list<Entry> m_order; // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> m_leaves;
    std::size_t m_nMinted = 0;
};
