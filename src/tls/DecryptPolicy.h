#pragma once
#include "tls/HostPatterns.h"
#include "tls/TlsSettings.h"

#include <set>
#include <string>

// Which tunnels are decrypted: with decryption on, a host in the decrypt list (or any host when
// that list is empty) that is not in the pass list and whose browser has not refused Kestrune's
// certificate during this run.
class CDecryptPolicy {
public:
    void Apply(const CTlsSettings& settings);

    bool ShouldDecrypt(const std::string& host) const;

    // The browser refused our certificate for host: its tunnels stay undecrypted for the run.
    // True the first time, so the refusal is reported once.
    bool NoteRefused(const std::string& host);
    bool WasRefused(const std::string& host) const;

private:
    bool m_bDecrypt = false;
    CHostPatterns m_decrypt;
    CHostPatterns m_pass;
    std::set<std::string> m_refused;
};
