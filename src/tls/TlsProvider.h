#pragma once
#include <memory>
#include <string>

class CDecryptPolicy;
class CTlsClientContext;
class CTlsServerContext;
struct CTlsSettings;

// What a connection asks of HTTPS decryption: the settings in force, the choice of hosts and
// the TLS contexts of both sides. The application's HTTPS engine provides it; the proxy engine
// knows only this.
class CTlsProvider {
public:
    virtual ~CTlsProvider() = default;

    virtual const CTlsSettings& GetSettings() const = 0;
    virtual CDecryptPolicy& GetPolicy() = 0;
    // Null with error set when the context cannot be made.
    virtual std::shared_ptr<CTlsServerContext> GetServerContext(std::string& error) = 0;
    virtual std::shared_ptr<CTlsClientContext> GetClientContext(std::string& error) = 0;
};
