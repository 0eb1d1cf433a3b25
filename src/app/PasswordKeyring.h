#pragma once
#include <functional>
#include <string>

// The upstream proxy's password in the desktop's keyring (through QtKeychain: the Secret
// Service or KWallet), never in the settings file. The jobs run on the event loop; their
// answers come back on it. Without a keyring, storing fails and says why.
namespace PasswordKeyring {

// Stores the password under key (the upstream's "user@host:port"); done(ok, error text).
void Store(const std::string& key, const std::string& password,
           std::function<void(bool ok, const std::string& error)> done);
// Reads the password kept under key; done(found, password).
void Load(const std::string& key, std::function<void(bool found, const std::string& password)> done);

// The key for an upstream shown as "user@host" with its port.
std::string KeyFor(const std::string& shownAddress, const std::string& port);

} // namespace PasswordKeyring
