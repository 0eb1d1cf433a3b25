#pragma once
#include "app/RecordLineFormat.h"
#include "proxy/ConnectionWatchdog.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the command line asks for. Options given to a headless run override the stored
// settings for that run only; they are never stored.
struct CCommandLine {
    enum class Mode { Window, Headless, Help, Version, Certificate, Convert, Replay };

    Mode mode = Mode::Window;
    std::optional<std::string> port;          // listen port text (atoi rules; "0": system's choice)
    std::optional<std::string> upstreamHost;  // upstream proxy address
    std::string upstreamPort;                 // may be empty (then port 0)
    // Where a password given in --upstream lies: the argument (counted from the first after the
    // program's name) and the bytes in it. Every local user can read the arguments.
    struct SSpan {
        std::size_t arg = 0;
        std::size_t offset = 0;
        std::size_t length = 0;
    };
    std::optional<SSpan> upstreamPassword;
    std::optional<std::string> logFile;
    int logEverySeconds = 0;                  // 0: only on SIGUSR1 and at exit
    std::optional<std::string> harFile;       // the run's HAR, written when it saves and at exit
    std::optional<std::string> sessionFile;   // the run recorded as it goes (a new file)
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
    std::optional<std::uint64_t> memoryBudget; // bytes of trace held in memory, this run

    std::string convertFrom, convertTo;       // --convert IN OUT
    std::optional<std::string> openFile; // a saved capture (session or HAR) the window opens on

    // --replay FILE: its requests sent again, those the filter keeps, at most
    // replayConcurrency at once, to the target instead of their servers when one is given.
    std::string replayFile;
    std::string replayFilter;
    std::string replayTargetHost;             // empty: each request's own server
    int replayTargetPort = 0;
    std::size_t replayConcurrency = 1;
    bool unsafeMethods = false;               // also methods other than GET, HEAD and OPTIONS

    std::string error; // set when the arguments are not usable

    static CCommandLine Parse(const std::vector<std::string>& args);
    // Overwrites the --upstream password in the process's own arguments (argv as main got it,
    // which /proc/PID/cmdline shows); true when there was one.
    bool HideUpstreamPassword(int argc, char** argv) const;
    static std::string Usage();
};
