#include "app/CertificateCommand.h"

#include "app/SettingsRegistry.h"
#include "tls/CertAuthority.h"

#include <QCoreApplication>

#include <cstdio>

int RunCertificateCommand(const CCommandLine& options)
{
    int argc = 1;
    char name[] = "kestrune";
    char* argv[] = {name, nullptr};
    QCoreApplication qapp(argc, argv);

    CSettingsRegistry().CreateKey();
    const std::string folder = CSettingsRegistry::GetFolder();
    std::string error;
    std::unique_ptr<CCertAuthority> authority = options.newCa
                                                    ? CCertAuthority::Renew(folder, error)
                                                    : CCertAuthority::Open(folder, error);
    if (!authority) {
        std::fprintf(stderr, "kestrune: %s\n", error.c_str());
        return 1;
    }
    if (options.newCa)
        std::fprintf(stderr, "kestrune: made a new root certificate %s (SHA-256 %s)\n",
                     authority->GetCertificatePath().c_str(), authority->GetFingerprint().c_str());
    if (options.exportCaFile) {
        if (!authority->ExportPem(*options.exportCaFile, error)) {
            std::fprintf(stderr, "kestrune: %s\n", error.c_str());
            return 1;
        }
        std::fprintf(stderr, "kestrune: wrote the root certificate to %s (SHA-256 %s)\n",
                     options.exportCaFile->c_str(), authority->GetFingerprint().c_str());
    }
    return 0;
}
