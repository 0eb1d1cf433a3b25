#include "tls/TunnelSniffer.h"

#include "tls/ClientHello.h"
#include "tls/DecryptPolicy.h"
#include "tls/LeafCache.h"

CTunnelSniffer::CTunnelSniffer(std::string connectHost)
    : m_host(std::move(connectHost))
    , m_name(m_host)
{
}

CTunnelSniffer::Verdict CTunnelSniffer::Feed(const char* data, std::size_t size,
                                             const CDecryptPolicy& policy, CLeafCache& leaves)
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
    bool complete = false;
    const std::string sni = FindServerName(m_held.data(), m_held.size(), &complete);
    if (!complete)
        return m_held.size() < kMaxHeld ? Verdict::NeedMore : Verdict::Tunnel;
    if (!sni.empty())
        m_name = sni;
    if (!policy.ShouldDecrypt(m_host) || !policy.ShouldDecrypt(m_name))
        return Verdict::Tunnel;
    if (!leaves.GetLeaf(m_name, m_reason))
        return Verdict::Tunnel;
    return Verdict::Decrypt;
}

std::string CTunnelSniffer::TakeHeld()
{
    std::string bytes;
    bytes.swap(m_held);
    return bytes;
}
