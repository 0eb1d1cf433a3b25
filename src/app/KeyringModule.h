#pragma once
#include <functional>
#include <string>

// The entry points of the kestrune-keyring module, found by name (PasswordKeyring loads it).
using KeyringStoreDone = std::function<void(bool ok, const std::string& error)>;
using KeyringLoadDone = std::function<void(bool found, const std::string& password)>;
using KeyringStoreFn = void (*)(const std::string& key, const std::string& password,
                                KeyringStoreDone done);
using KeyringLoadFn = void (*)(const std::string& key, KeyringLoadDone done);
