#pragma once
#include "tls/OpenSslHelpers.h"

#include <cstddef>
#include <ctime>
#include <deque>
#include <string>
#include <unordered_map>

// Certificate chains origins sent that verified against the trust store, known by the digests
// of the certificates as sent: a later connection sent the same chain (another name on the same
// server, a connection that does not resume) skips building and checking it again, which costs
// more than the rest of the origin's handshake. Only the chain counts as checked: the name (or
// address) is matched on every connection, and a chain is known only while every certificate in
// it is within its validity. Kept per trust store (per client context), at most kCapacity.
class CVerifiedChains {
public:
    static constexpr std::size_t kCapacity = 256;

    // The verification OpenSSL runs for each origin (SSL_CTX_set_cert_verify_callback, with
    // this object as the argument): a known chain passes when its first certificate names the
    // connection's host; anything else is verified in full, and its success is remembered.
    static int Verify(X509_STORE_CTX* store, void* chains);

    std::size_t Size() const { return m_windows.size(); }

private:
    struct Window {
        std::time_t from;
        std::time_t until;
    };

    bool Knows(const std::string& key, std::time_t now) const;
    void Remember(const std::string& key, X509_STORE_CTX* store);

    std::unordered_map<std::string, Window> m_windows;
    std::deque<std::string> m_order; // oldest first
};
