#include "app/CertificateCommand.h"
#include "app/CommandLine.h"
#include "app/HeadlessRunner.h"
#include "app/ReplayRunner.h"
#include "app/SessionConvert.h"
#include "app/WindowModule.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    // A peer that goes away must end its connection, not the program.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> args(argv + 1, argv + argc);
    const CCommandLine options = CCommandLine::Parse(args);
    if (!options.error.empty()) {
        std::fprintf(stderr, "kestrune: %s\n\n%s", options.error.c_str(),
                     CCommandLine::Usage().c_str());
        return 2;
    }
    if (options.HideUpstreamPassword(argc, argv))
        std::fprintf(stderr, "kestrune: a password given in --upstream can be read by every local "
                             "user while the program starts; give it in KESTRUNE_UPSTREAM_PASSWORD "
                             "instead\n");
    switch (options.mode) {
    case CCommandLine::Mode::Help:
        std::fputs(CCommandLine::Usage().c_str(), stdout);
        return 0;
    case CCommandLine::Mode::Version:
        std::printf("Kestrune %s\n", KESTRUNE_VERSION);
        return 0;
    case CCommandLine::Mode::Certificate:
        return RunCertificateCommand(options);
    case CCommandLine::Mode::Convert:
        return RunConvert(options);
    case CCommandLine::Mode::Replay:
        return RunReplay(options);
    case CCommandLine::Mode::Headless:
        return RunHeadless(options);
    case CCommandLine::Mode::Window:
        break;
    }
    return RunWindowModule(argc, argv);
}
