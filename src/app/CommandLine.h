#pragma once
#include "app/RecordLineFormat.h"
#include "proxy/ConnectionWatchdog.h"

#include <optional>
#include <string>
#include <vector>

// What the command line asks for. Options given to a headless run override the stored
// settings for that run only; they are never stored.
struct CCommandLine {
    enum class Mode { Window, Headless, Help, Version, Certificate };

    Mode mode = Mode::Window;
    std::optional<std::string> port;          // listen port text (atoi rules; "0": system's choice)
    std::optional<std::string> upstreamHost;  // upstream proxy address
    std::string upstreamPort;                 // may be empty (then port 0)
    std::optional<std::string> logFile;
    int logEverySeconds = 0;                  // 0: only on SIGUSR1 and at exit
    std::optional<std::string> harFile;       // the run's HAR, written when it saves and at exit
    std::optional<std::string> exchangesFile; // one JSON line per finished exchange; "-": stdout
    // Then the 404 page; the request header complete within this, else close; no byte either
    // way for this long, close the pair. The window runs on the same defaults.
    int connectTimeoutSeconds = CConnectionWatchdog::kDefaultConnectTimeoutS;
    int headerTimeoutSeconds = CConnectionWatchdog::kDefaultHeaderTimeoutS;
    int idleTimeoutSeconds = CConnectionWatchdog::kDefaultIdleTimeoutS;
    bool debug = false;
    bool quiet = false;
    RecordFormat format = RecordFormat::Text; // of the record lines on stdout

    // HTTPS: decryption for this run (overriding the stored switch and lists), and the origins'
    // verification. Certificate mode (--export-ca, or --new-ca without --headless) works on
    // Kestrune's root and exits.
    bool decryptHttps = false;
    std::optional<std::string> decryptHosts;
    std::optional<std::string> passHosts;
    std::string upstreamCaFile;
    bool insecureUpstream = false;
    std::optional<std::string> exportCaFile;
    bool newCa = false;
    bool decode = false;                      // decode compressed bodies for this run

    std::string error; // set when the arguments are not usable

    static CCommandLine Parse(const std::vector<std::string>& args);
    static std::string Usage();
};
