#pragma once
#include "support/LoopbackServer.h"
#include "tls/LeafCache.h"

#include <mutex>
#include <string>
#include <vector>

// Serves one TLS connection as an origin under leaf and key: reads the request head (it comes
// in one record) and sends reply. The head, or empty when the handshake or the read failed.
std::string ServeTlsRequest(BlockingStream& stream, X509* leaf, EVP_PKEY* key,
                            const std::string& reply);

// An upstream proxy on loopback that takes requests only with user "u" and password "p w",
// answering 407 without them. A request in absolute form it answers itself; after a CONNECT it
// is the origin at the tunnel's end, in TLS under a leaf of the given root for kOrigin. Every
// answer is 200 "ok" and closes. It keeps "REQUEST-LINE | CREDENTIALS" of each request it took
// and "  tls REQUEST-LINE" of each one in a tunnel.
class CredentialUpstream {
public:
    static constexpr const char* kOrigin = "origin.kestrune.invalid";
    static constexpr const char* kCredentials = "Basic dTpwIHc="; // u:p w

    explicit CredentialUpstream(const CCertAuthority& root);
    int Port() const { return m_Server.Port(); }
    std::vector<std::string> Requests();

private:
    void Serve(BlockingStream& stream);
    void Note(std::string line);

    CLeafCache m_Leaves;
    std::string m_Error; // the leaf's, none expected
    X509* m_pLeaf;
    std::mutex m_Lock;
    std::vector<std::string> m_Requests;
    LoopbackServer m_Server; // last: its handlers use the rest
};
