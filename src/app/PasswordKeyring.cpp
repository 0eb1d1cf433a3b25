#include "app/PasswordKeyring.h"

#include "app/KeyringModule.h"
#include "app/ModuleLoader.h"

#include <QTimer>

#include <dlfcn.h>

namespace {

constexpr char kModuleName[] = "kestrune-keyring.so";

// The module's entry points, loaded at the first use; null (and why) when it cannot be.
struct SKeyring {
    KeyringStoreFn store = nullptr;
    KeyringLoadFn load = nullptr;
    std::string error;
};

const SKeyring& Keyring()
{
    static const SKeyring keyring = [] {
        SKeyring k;
        void* module = LoadKestruneModule(kModuleName, k.error);
        if (module) {
            k.store = reinterpret_cast<KeyringStoreFn>(::dlsym(module, "KestruneKeyringStore"));
            k.load = reinterpret_cast<KeyringLoadFn>(::dlsym(module, "KestruneKeyringLoad"));
        }
        if ((!k.store || !k.load) && k.error.empty())
            k.error = std::string(kModuleName) + " has no keyring entry points";
        return k;
    }();
    return keyring;
}

} // namespace

void PasswordKeyring::Store(const std::string& key, const std::string& password,
                            std::function<void(bool, const std::string&)> done)
{
    const SKeyring& keyring = Keyring();
    if (keyring.store) {
        keyring.store(key, password, std::move(done));
        return;
    }
    // The answer comes later on the loop, as a job's would.
    QTimer::singleShot(0, [done = std::move(done), why = keyring.error] {
        if (done)
            done(false, "the keyring could not be reached (" + why + ")");
    });
}

void PasswordKeyring::Load(const std::string& key,
                           std::function<void(bool, const std::string&)> done)
{
    const SKeyring& keyring = Keyring();
    if (keyring.load) {
        keyring.load(key, std::move(done));
        return;
    }
    QTimer::singleShot(0, [done = std::move(done)] {
        if (done)
            done(false, std::string());
    });
}

std::string PasswordKeyring::KeyFor(const std::string& shownAddress, const std::string& port)
{
    return shownAddress + ":" + port;
}
