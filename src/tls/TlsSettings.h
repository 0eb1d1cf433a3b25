#pragma once
#include <string>

// What decides how the proxy treats HTTPS, gathered from the stored settings and the command
// line; handed to the proxy and read for each new tunnel.
struct CTlsSettings {
    bool decrypt = false;         // decrypt CONNECT tunnels at all (off: every byte tunnelled)
    std::string decryptHosts;     // host patterns to decrypt; empty: every host
    std::string passHosts;        // host patterns never decrypted
    std::string upstreamCaFile;   // an extra root trusted for origins (PEM), may be empty
    bool insecureUpstream = false; // origins' certificates are not verified at all
};
