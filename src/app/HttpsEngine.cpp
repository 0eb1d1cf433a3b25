#include "app/HttpsEngine.h"

#include "tls/CertAuthority.h"
#include "tls/TlsClientContext.h"
#include "tls/TlsServerContext.h"

CHttpsEngine::CHttpsEngine(std::string folder)
    : m_folder(std::move(folder))
{
}

CHttpsEngine::~CHttpsEngine() = default;

void CHttpsEngine::Apply(const CTlsSettings& settings)
{
    if (settings.upstreamCaFile != m_settings.upstreamCaFile
        || settings.insecureUpstream != m_settings.insecureUpstream)
        m_client.reset();
    m_settings = settings;
    m_policy.Apply(settings);
}

std::shared_ptr<CCertAuthority> CHttpsEngine::GetAuthority(std::string& error)
{
    if (!m_authority)
        m_authority = CCertAuthority::Open(m_folder, error);
    return m_authority;
}

std::shared_ptr<CCertAuthority> CHttpsEngine::RenewAuthority(std::string& error)
{
    std::shared_ptr<CCertAuthority> renewed = CCertAuthority::Renew(m_folder, error);
    if (!renewed)
        return nullptr;
    m_authority = std::move(renewed);
    m_server.reset();
    return m_authority;
}

std::shared_ptr<CTlsServerContext> CHttpsEngine::GetServerContext(std::string& error)
{
    if (!m_server) {
        if (auto authority = GetAuthority(error))
            m_server = CTlsServerContext::Create(authority, error);
    }
    return m_server;
}

std::shared_ptr<CTlsClientContext> CHttpsEngine::GetClientContext(std::string& error)
{
    if (!m_client)
        m_client = CTlsClientContext::Create(m_settings.upstreamCaFile, !m_settings.insecureUpstream,
                                             error);
    return m_client;
}
