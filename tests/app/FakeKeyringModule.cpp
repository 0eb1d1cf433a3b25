// A stand-in for the kestrune-keyring module, put beside a link to the program by the tests: it
// answers a lookup with KESTRUNE_TEST_KEYRING_PASSWORD after KESTRUNE_TEST_KEYRING_DELAY_MS,
// as a keyring on D-Bus answers later on the loop; without a password it never answers.
#include "app/KeyringModule.h"

#include <QTimer>

#include <cstdlib>

extern "C" __attribute__((visibility("default"))) void
KestruneKeyringStore(const std::string&, const std::string&, KeyringStoreDone done)
{
    QTimer::singleShot(0, [done = std::move(done)] { done(true, std::string()); });
}

extern "C" __attribute__((visibility("default"))) void KestruneKeyringLoad(const std::string&,
                                                                           KeyringLoadDone done)
{
    const char* password = std::getenv("KESTRUNE_TEST_KEYRING_PASSWORD");
    if (!password)
        return;
    const char* delay = std::getenv("KESTRUNE_TEST_KEYRING_DELAY_MS");
    QTimer::singleShot(
        delay ? std::atoi(delay) : 0,
        [done = std::move(done), answer = std::string(password)] { done(true, answer); });
}
