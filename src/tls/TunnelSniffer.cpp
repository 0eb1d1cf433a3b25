#include "tls/TunnelSniffer.h"

#include "tls/ClientHello.h"
#include "tls/DecryptPolicy.h"
#include "tls/LeafCache.h"

#include <string>

CTunnelSniffer::CTunnelSniffer(std::string connectHost)
    : m_host(std::move(connectHost))
    , m_name(m_host)
{
}

CTunnelSniffer::Verdict CTunnelSniffer::Feed(const char* data, std::size_t size,
                                             const CDecryptPolicy& policy, const CLeafCache& leaves)
{
    m_held.append(data, size);
    switch (SniffClientHello(m_held.data(), m_held.size())) {
    case HelloSniff::NeedMore:
        return Verdict::NeedMore;
    case HelloSniff::NotTls:
        return Verdict::Tunnel;
    case HelloSniff::Tls:
        break;
    }
    // Decided on the whole ClientHello, however many records it spans: a name in a later
    // record must not slip past the pass list. A hello that cannot be read is passed through.
    std::string sni;
    switch (ReadClientHello(m_held.data(), m_held.size(), sni)) {
    case HelloRead::NeedMore:
        if (m_held.size() < kMaxHeld)
            return Verdict::NeedMore;
        m_reason = "its ClientHello did not end within " + std::to_string(kMaxHeld) + " bytes";
        return Verdict::Tunnel;
    case HelloRead::Malformed:
        m_reason = "its ClientHello could not be read";
        return Verdict::Tunnel;
    case HelloRead::Complete:
        break;
    }
    if (!sni.empty())
        m_name = sni;
    if (!policy.ShouldDecrypt(m_host) || !policy.ShouldDecrypt(m_name))
        return Verdict::Tunnel;
    // The certificate is minted once the origin's handshake has started, alongside it.
    if (!leaves.CanMake(m_name, m_reason))
        return Verdict::Tunnel;
    return Verdict::Decrypt;
}

std::string CTunnelSniffer::TakeHeld()
{
    std::string bytes;
    bytes.swap(m_held);
    return bytes;
}
