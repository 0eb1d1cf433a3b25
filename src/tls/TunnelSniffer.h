#pragma once
#include <cstddef>
#include <string>

class CDecryptPolicy;
class CLeafCache;

// Decides what becomes of a CONNECT tunnel from the browser's first bytes after the 200 reply:
// held until they hold a whole ClientHello, in as many records as it takes (or plainly no TLS),
// then tunnelled as they are or decrypted. Decrypted only when the policy wants both the tunnel's
// host and the name the browser asked for (SNI), and a certificate can be made for that name; the
// held bytes are then the first ciphertext of the browser-side session, else they are relayed
// unchanged.
class CTunnelSniffer {
public:
    enum class Verdict { NeedMore, Tunnel, Decrypt };
    // The most bytes held for a ClientHello and the headers of its records.
    static constexpr std::size_t kMaxHeld = 65536 + 4096;

    explicit CTunnelSniffer(std::string connectHost);

    Verdict Feed(const char* data, std::size_t size, const CDecryptPolicy& policy,
                 const CLeafCache& leaves);
    std::string TakeHeld();
    // The name the certificate is made for: the SNI, else the tunnel's host.
    const std::string& GetName() const { return m_name; }
    // Why a TLS tunnel is not decrypted, for a debug line; empty for a decision of the policy.
    const std::string& GetReason() const { return m_reason; }

private:
    std::string m_host;
    std::string m_held;
    std::string m_name;
    std::string m_reason;
};
