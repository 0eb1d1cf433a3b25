// The kestrune-keyring module: the jobs that reach the desktop's keyring through QtKeychain.
// QtKeychain brings D-Bus, GLib and more; as a module they are mapped only when a password is
// stored or looked up, so a headless proxy without an upstream user never carries them.
#include "app/KeyringModule.h"

#include <qt6keychain/keychain.h>

namespace {
const QString kService = QStringLiteral("Kestrune upstream proxy");
} // namespace

extern "C" __attribute__((visibility("default"))) void
KestruneKeyringStore(const std::string& key, const std::string& password, KeyringStoreDone done)
{
    auto* job = new QKeychain::WritePasswordJob(kService);
    job->setAutoDelete(true);
    job->setInsecureFallback(false); // never a file in clear text
    job->setKey(QString::fromStdString(key));
    job->setTextData(QString::fromStdString(password));
    QObject::connect(job, &QKeychain::Job::finished, [done = std::move(done)](QKeychain::Job* j) {
        if (done)
            done(j->error() == QKeychain::NoError, j->errorString().toStdString());
    });
    job->start();
}

extern "C" __attribute__((visibility("default"))) void
KestruneKeyringLoad(const std::string& key, KeyringLoadDone done)
{
    auto* job = new QKeychain::ReadPasswordJob(kService);
    job->setAutoDelete(true);
    job->setInsecureFallback(false);
    job->setKey(QString::fromStdString(key));
    QObject::connect(job, &QKeychain::Job::finished, [done = std::move(done)](QKeychain::Job* j) {
        const bool found = j->error() == QKeychain::NoError;
        if (done)
            done(found, found ? static_cast<QKeychain::ReadPasswordJob*>(j)->textData().toStdString()
                              : std::string());
    });
    job->start();
}
