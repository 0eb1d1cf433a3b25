#include "tls/DecryptPolicy.h"

void CDecryptPolicy::Apply(const CTlsSettings& settings)
{
    m_bDecrypt = settings.decrypt;
    m_decrypt = CHostPatterns(settings.decryptHosts);
    m_pass = CHostPatterns(settings.passHosts);
}

bool CDecryptPolicy::ShouldDecrypt(const std::string& host) const
{
    return m_bDecrypt && !WasRefused(host) && !m_pass.Matches(host)
           && (m_decrypt.IsEmpty() || m_decrypt.Matches(host));
}

bool CDecryptPolicy::NoteRefused(const std::string& host)
{
    return m_refused.insert(CHostPatterns::Normalize(host)).second;
}

bool CDecryptPolicy::WasRefused(const std::string& host) const
{
    return m_refused.count(CHostPatterns::Normalize(host)) != 0;
}
