#include "app/PasswordKeyring.h"

#include <qt6keychain/keychain.h>

namespace {
const QString kService = QStringLiteral("Kestrune upstream proxy");
} // namespace

void PasswordKeyring::Store(const std::string& key, const std::string& password,
                            std::function<void(bool, const std::string&)> done)
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

void PasswordKeyring::Load(const std::string& key,
                           std::function<void(bool, const std::string&)> done)
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

std::string PasswordKeyring::KeyFor(const std::string& shownAddress, const std::string& port)
{
    return shownAddress + ":" + port;
}
