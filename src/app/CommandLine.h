#pragma once
#include "proxy/ConnectionWatchdog.h"

#include <optional>
#include <string>
#include <vector>

// What the command line asks for. Options given to a headless run override the stored
// settings for that run only; they are never stored.
struct CCommandLine {
    enum class Mode { Window, Headless, Help, Version };

    Mode mode = Mode::Window;
    std::optional<std::string> port;          // listen port text (atoi rules; "0": system's choice)
    std::optional<std::string> upstreamHost;  // upstream proxy address
    std::string upstreamPort;                 // may be empty (then port 0)
    std::optional<std::string> logFile;
    int logEverySeconds = 0;                  // 0: only on SIGUSR1 and at exit
    // Then the 404 page; the request header complete within this, else close; no byte either
    // way for this long, close the pair. The window runs on the same defaults.
    int connectTimeoutSeconds = CConnectionWatchdog::kDefaultConnectTimeoutS;
    int headerTimeoutSeconds = CConnectionWatchdog::kDefaultHeaderTimeoutS;
    int idleTimeoutSeconds = CConnectionWatchdog::kDefaultIdleTimeoutS;
    bool debug = false;
    bool quiet = false;

    std::string error; // set when the arguments are not usable

    static CCommandLine Parse(const std::vector<std::string>& args);
    static std::string Usage();
};
