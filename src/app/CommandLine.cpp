#include "app/CommandLine.h"

#include "app/ByteSize.h"

#include <charconv>
#include <cstring>

namespace {

// "--name=value" or "--name value"; advances i past a separate value.
bool TakeValue(const std::vector<std::string>& args, std::size_t& i, const std::string& name,
               std::string& value, std::string& error)
{
    const std::string& arg = args[i];
    if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0
        && arg[name.size()] == '=') {
        value = arg.substr(name.size() + 1);
        return true;
    }
    if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return false;
    }
    value = args[++i];
    return true;
}

bool Matches(const std::string& arg, const std::string& name)
{
    return arg == name || (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0
                           && arg[name.size()] == '=');
}

// The timeout a "--...-timeout" argument sets, or null.
int* TimeoutOption(CCommandLine& result, const std::string& arg)
{
    if (Matches(arg, "--connect-timeout"))
        return &result.connectTimeoutSeconds;
    if (Matches(arg, "--header-timeout"))
        return &result.headerTimeoutSeconds;
    if (Matches(arg, "--idle-timeout"))
        return &result.idleTimeoutSeconds;
    return nullptr;
}

bool ParseSeconds(const std::string& value, int& seconds)
{
    int parsed = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), parsed);
    if (value.empty() || ec != std::errc() || end != value.data() + value.size() || parsed < 1
        || parsed > 7 * 24 * 3600)
        return false;
    seconds = parsed;
    return true;
}

// HOST:PORT, HOST a name, an IPv4 address or an IPv6 address in brackets.
bool ParseTarget(const std::string& value, std::string& host, int& port)
{
    const std::size_t colon = value.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    host = value.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return false;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos || host.find(']') != std::string::npos) {
        return false;
    }
    const std::string text = value.substr(colon + 1);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size() && port >= 1
           && port <= 65535;
}

// The options of a headless run that a replay takes too: where the upstream proxy is and
// how the origins are verified.
bool ReplayTakesToo(const std::string& name)
{
    return name == "--upstream" || name == "--upstream-ca" || name == "--insecure-upstream";
}

} // namespace

CCommandLine CCommandLine::Parse(const std::vector<std::string>& args)
{
    CCommandLine result;
    bool headless = false;
    bool headlessOnly = false; // an option that only a headless run takes was given
    std::string firstHeadlessOption;
    bool replay = false;
    std::string firstReplayOption;  // an option only a replay takes
    std::string firstForeignOption; // one a replay does not take

    auto fail = [&result](std::string message) {
        result.error = std::move(message);
        return result;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string value;
        if (arg == "--help" || arg == "-h") {
            result.mode = Mode::Help;
            return result;
        }
        if (arg == "--version") {
            result.mode = Mode::Version;
            return result;
        }
        // A conversion stands alone: the two files and nothing else.
        if (arg == "--convert") {
            if (args.size() != 3 || i != 0)
                return fail("option --convert takes exactly two files: --convert IN OUT");
            result.mode = Mode::Convert;
            result.convertFrom = args[1];
            result.convertTo = args[2];
            return result;
        }
        if (arg == "--headless") {
            headless = true;
            continue;
        }
        if (Matches(arg, "--replay")) {
            if (!TakeValue(args, i, "--replay", value, result.error))
                return result;
            if (value.empty())
                return fail("option --replay needs a session or HAR file");
            replay = true;
            result.replayFile = value;
            continue;
        }
        if (Matches(arg, "--filter") || Matches(arg, "--target") || Matches(arg, "--concurrency")
            || arg == "--unsafe-methods") {
            const std::string name = arg.substr(0, arg.find('='));
            if (firstReplayOption.empty())
                firstReplayOption = name;
            if (name == "--unsafe-methods") {
                result.unsafeMethods = true;
                continue;
            }
            if (!TakeValue(args, i, name, value, result.error))
                return result;
            if (name == "--filter") {
                result.replayFilter = value;
            } else if (name == "--target") {
                if (!ParseTarget(value, result.replayTargetHost, result.replayTargetPort))
                    return fail("option --target expects HOST:PORT (an IPv6 host in brackets)");
            } else {
                auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(),
                                                 result.replayConcurrency);
                if (value.empty() || ec != std::errc() || end != value.data() + value.size()
                    || result.replayConcurrency < 1 || result.replayConcurrency > 1000)
                    return fail("option --concurrency expects a number from 1 to 1000");
            }
            continue;
        }
        // Work on the root certificate: with or without --headless.
        if (arg == "--new-ca") {
            result.newCa = true;
            continue;
        }
        if (Matches(arg, "--export-ca")) {
            if (!TakeValue(args, i, "--export-ca", value, result.error))
                return result;
            if (value.empty())
                return fail("option --export-ca needs a file name");
            result.exportCaFile = value;
            continue;
        }
        if (arg == "--debug" || arg == "--quiet" || arg == "--decode") {
            (arg == "--debug" ? result.debug : arg == "--quiet" ? result.quiet : result.decode) = true;
        } else if (Matches(arg, "--port")) {
            if (!TakeValue(args, i, "--port", value, result.error))
                return result;
            // Only a plain decimal port: "80abc" or "abc" would quietly listen elsewhere.
            unsigned port = 0;
            auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
            if (value.empty() || ec != std::errc() || end != value.data() + value.size()
                || port > 65535)
                return fail("option --port expects a number from 0 to 65535");
            result.port = value;
        } else if (Matches(arg, "--upstream")) {
            if (!TakeValue(args, i, "--upstream", value, result.error))
                return result;
            // [USER[:PASSWORD]@]HOST[:PORT], HOST an IPv6 address in brackets or a name.
            const std::size_t at = value.rfind('@');
            const std::size_t hostStart = at == std::string::npos ? 0 : at + 1;
            const std::size_t bracket = value.find(']', hostStart);
            std::size_t colon = value.rfind(':');
            if (colon < hostStart || (bracket != std::string::npos && colon < bracket))
                colon = std::string::npos;
            std::string host = colon == std::string::npos ? value : value.substr(0, colon);
            if (host.size() == hostStart)
                return fail("option --upstream expects [USER[:PASSWORD]@]HOST:PORT");
            result.upstreamHost = host;
            result.upstreamPort = colon == std::string::npos ? "" : value.substr(colon + 1);
            // USER:PASSWORD@ as the address splits it: the user ends at the first colon.
            const std::size_t userEnd = value.find(':');
            result.upstreamPassword.reset();
            if (at != std::string::npos && userEnd < at && at > userEnd + 1)
                result.upstreamPassword =
                    SSpan{i, args[i].size() - value.size() + userEnd + 1, at - userEnd - 1};
        } else if (arg == "--decrypt-https" || arg == "--insecure-upstream") {
            (arg == "--decrypt-https" ? result.decryptHttps : result.insecureUpstream) = true;
        } else if (Matches(arg, "--decrypt-hosts") || Matches(arg, "--pass-hosts")) {
            const std::string name = arg.substr(0, arg.find('='));
            if (!TakeValue(args, i, name, value, result.error))
                return result;
            (name == "--decrypt-hosts" ? result.decryptHosts : result.passHosts) = value;
        } else if (Matches(arg, "--upstream-ca")) {
            if (!TakeValue(args, i, "--upstream-ca", value, result.error))
                return result;
            if (value.empty())
                return fail("option --upstream-ca needs a file name");
            result.upstreamCaFile = value;
        } else if (Matches(arg, "--log")) {
            if (!TakeValue(args, i, "--log", value, result.error))
                return result;
            if (value.empty())
                return fail("option --log needs a file name");
            result.logFile = value;
        } else if (Matches(arg, "--har")) {
            if (!TakeValue(args, i, "--har", value, result.error))
                return result;
            if (value.empty())
                return fail("option --har needs a file name");
            result.harFile = value;
        } else if (Matches(arg, "--session")) {
            if (!TakeValue(args, i, "--session", value, result.error))
                return result;
            if (value.empty())
                return fail("option --session needs a file name");
            result.sessionFile = value;
        } else if (Matches(arg, "--memory-budget")) {
            if (!TakeValue(args, i, "--memory-budget", value, result.error))
                return result;
            result.memoryBudget = ByteSize::ParseBudget(value);
            if (!result.memoryBudget)
                return fail("option --memory-budget expects a size from 1M to 1024G (bytes, or "
                            "a number with K, M or G): " + value);
        } else if (Matches(arg, "--exchanges")) {
            if (!TakeValue(args, i, "--exchanges", value, result.error))
                return result;
            if (value.empty())
                return fail("option --exchanges needs a file name (or - for stdout)");
            result.exchangesFile = value;
        } else if (int* timeout = TimeoutOption(result, arg)) {
            const std::string name = arg.substr(0, arg.find('='));
            if (!TakeValue(args, i, name, value, result.error))
                return result;
            if (!ParseSeconds(value, *timeout))
                return fail("option " + name + " expects a number of seconds from 1 to 604800");
        } else if (Matches(arg, "--log-every")) {
            if (!TakeValue(args, i, "--log-every", value, result.error))
                return result;
            int seconds = 0;
            auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
            if (ec != std::errc() || end != value.data() + value.size() || seconds <= 0
                || seconds > 24 * 3600)
                return fail("option --log-every expects a number of seconds from 1 to 86400");
            result.logEverySeconds = seconds;
        } else if (Matches(arg, "--format")) {
            if (!TakeValue(args, i, "--format", value, result.error))
                return result;
            if (value != "text" && value != "json")
                return fail("option --format expects text or json");
            result.format = value == "json" ? RecordFormat::Json : RecordFormat::Text;
        } else if (!arg.empty() && arg[0] != '-' && !result.openFile) {
            result.openFile = arg; // a saved capture for the window
            continue;
        } else {
            return fail("unknown argument: " + arg);
        }
        if (!headlessOnly) {
            headlessOnly = true;
            firstHeadlessOption = arg.substr(0, arg.find('='));
        }
        if (firstForeignOption.empty() && !ReplayTakesToo(arg.substr(0, arg.find('='))))
            firstForeignOption = arg.substr(0, arg.find('='));
    }

    if (result.openFile && (replay || headless || result.newCa || result.exportCaFile))
        return fail("the file " + *result.openFile + " opens in the window: give it without "
                    + (replay         ? "--replay"
                       : headless     ? "--headless"
                       : result.newCa ? "--new-ca"
                                      : "--export-ca"));
    if (replay) {
        if (headless || result.newCa || result.exportCaFile || !firstForeignOption.empty())
            return fail("option " + (headless ? std::string("--headless")
                                     : result.newCa ? std::string("--new-ca")
                                     : result.exportCaFile ? std::string("--export-ca")
                                                           : firstForeignOption)
                        + " does not go with --replay");
        result.mode = Mode::Replay;
        return result;
    }
    if (!firstReplayOption.empty())
        return fail("option " + firstReplayOption + " is for a replay: add --replay FILE");
    if (result.logEverySeconds > 0 && !result.logFile)
        return fail("option --log-every needs --log FILE");
    if (result.exportCaFile || (result.newCa && !headless))
        result.mode = Mode::Certificate;
    else if (headless)
        result.mode = Mode::Headless;
    else if (headlessOnly)
        return fail("option " + firstHeadlessOption + " is for a headless run: add --headless");
    return result;
}

bool CCommandLine::HideUpstreamPassword(int argc, char** argv) const
{
    if (!upstreamPassword || upstreamPassword->arg + 1 >= static_cast<std::size_t>(argc))
        return false;
    char* arg = argv[upstreamPassword->arg + 1];
    if (std::strlen(arg) < upstreamPassword->offset + upstreamPassword->length)
        return false;
    std::memset(arg + upstreamPassword->offset, '*', upstreamPassword->length);
    return true;
}

std::string CCommandLine::Usage()
{
    return "Usage: kestrune [FILE] | --headless [options] | --export-ca FILE | --new-ca\n"
           "                | --convert IN OUT"
           " | --replay FILE [replay options] | --help | --version\n"
           "\n"
           "Without arguments Kestrune opens its window; with a FILE (a .kestrune session or\n"
           "a .har file) the window opens showing that saved capture.\n"
           "\n"
           "  --headless           run the proxy without a window, on the stored settings\n"
           "  --port PORT          listen on PORT for this run (0: the system chooses)\n"
           "  --upstream [USER[:PASSWORD]@]HOST:PORT\n"
           "                       relay through the upstream proxy HOST:PORT for this run,\n"
           "                       with Basic credentials when USER is given (the password\n"
           "                       may come from KESTRUNE_UPSTREAM_PASSWORD instead)\n"
           "  --log FILE           append the trace to FILE on SIGUSR1, every --log-every\n"
           "                       seconds, and at exit (SIGINT, SIGTERM)\n"
           "  --log-every SECONDS  save the trace to the log file every SECONDS seconds\n"
           "  --har FILE           write the run's HAR 1.2 to FILE when it saves and at exit\n"
           "  --session FILE       record the run into the new session file FILE as it goes\n"
           "  --memory-budget SIZE keep at most SIZE of trace in memory (K, M, G; default\n"
           "                       1G): beyond it the oldest bodies and texts leave memory\n"
           "  --exchanges FILE     append one JSON line per finished exchange to FILE as it\n"
           "                       finishes (-: stdout, in place of the record lines)\n"
           "  --connect-timeout S  give up a connect to a server after S seconds (default 30)\n"
           "  --header-timeout S   close a browser whose request header is not complete\n"
           "                       within S seconds (default 60)\n"
           "  --idle-timeout S     close a connection pair idle for S seconds (default 900)\n"
           "  --debug              write the proxy's debug trace lines to stderr\n"
           "  --quiet              do not print a line per record on stdout\n"
           "  --format FORMAT      print the record lines as text (tab-separated, the default)\n"
           "                       or json (one JSON object per line)\n"
           "  --decrypt-https      decrypt HTTPS tunnels for this run (browsers must trust\n"
           "                       Kestrune's root certificate: see --export-ca)\n"
           "  --decrypt-hosts LIST decrypt only these hosts (\"a.com,*.b.com\"; empty: all)\n"
           "  --pass-hosts LIST    never decrypt these hosts\n"
           "  --upstream-ca FILE   also trust the root certificates in FILE (PEM) for origins\n"
           "  --insecure-upstream  do not verify the origins' certificates at all\n"
           "  --new-ca             make a new root certificate (then run, with --headless)\n"
           "  --export-ca FILE     write the root certificate to FILE (PEM) and exit\n"
           "  --convert IN OUT     convert a session (.kestrune) or HAR (.har) file into a new\n"
           "                       file of the kind OUT's extension names, and exit\n"
           "  --replay FILE        send the requests of a session or HAR file again, print a\n"
           "                       JSON line per request and exit: 0 when every status is as\n"
           "                       recorded, 1 when one differs (--upstream, --upstream-ca and\n"
           "                       --insecure-upstream apply; else the stored upstream proxy)\n"
           "  --filter EXPR        replay only the exchanges the Exchanges page's filter keeps:\n"
           "                       host:NAME, method:NAME, status:404 or 4xx, text:WORD, words\n"
           "                       of the method, URL, status or end, -TERM negates\n"
           "  --target HOST:PORT   send every replayed request there, Host field unchanged\n"
           "  --concurrency N      replay at most N requests at once (default 1)\n"
           "  --unsafe-methods     replay methods other than GET, HEAD and OPTIONS too\n"
           "  --decode             show compressed bodies decoded (else as stored in the "
           "settings)\n"
           "  --help               show this text\n"
           "  --version            show the version\n";
}
