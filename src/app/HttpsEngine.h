#pragma once
#include "tls/DecryptPolicy.h"
#include "tls/TlsProvider.h"
#include "tls/TlsSettings.h"

#include <memory>
#include <string>

class CCertAuthority;
class CTlsClientContext;
class CTlsServerContext;

// Everything the proxy needs to look inside HTTPS, for the whole run: the settings in force, the
// choice of hosts, Kestrune's root (opened or made on first use, in the settings folder) and the
// TLS contexts of both sides. New settings take effect for the next tunnel; tunnels already
// running keep the contexts they started with.
class CHttpsEngine : public CTlsProvider {
public:
    explicit CHttpsEngine(std::string folder);
    ~CHttpsEngine() override;

    void Apply(const CTlsSettings& settings);
    const CTlsSettings& GetSettings() const override { return m_settings; }
    CDecryptPolicy& GetPolicy() override { return m_policy; }
    const std::string& GetFolder() const { return m_folder; }

    // The root, made when the folder holds none yet; null with error set when it cannot be read
    // or made.
    std::shared_ptr<CCertAuthority> GetAuthority(std::string& error);
    // Replaces the root with a new one; leaves minted by the old root are forgotten.
    std::shared_ptr<CCertAuthority> RenewAuthority(std::string& error);

    // The browser side (certificates from the root) and the origin side (verification as set).
    std::shared_ptr<CTlsServerContext> GetServerContext(std::string& error) override;
    std::shared_ptr<CTlsClientContext> GetClientContext(std::string& error) override;

private:
    std::string m_folder;
    CTlsSettings m_settings;
    CDecryptPolicy m_policy;
    std::shared_ptr<CCertAuthority> m_authority;
    std::shared_ptr<CTlsServerContext> m_server;
    std::shared_ptr<CTlsClientContext> m_client;
};
