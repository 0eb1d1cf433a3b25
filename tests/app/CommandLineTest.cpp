#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

using Mode = CCommandLine::Mode;

TEST(CommandLine, NoArgumentsOpensTheWindow)
{
    const CCommandLine c = CCommandLine::Parse({});
    EXPECT_TRUE(c.error.empty());
    EXPECT_EQ(c.mode, Mode::Window);
    const CCommandLine saved = CCommandLine::Parse({"capture.kestrune"});
    EXPECT_TRUE(saved.error.empty() && saved.mode == Mode::Window);
    EXPECT_EQ(saved.openFile.value_or(""), "capture.kestrune");
}

TEST(CommandLine, HeadlessOptionsInBothForms)
{
    const CCommandLine c = CCommandLine::Parse({"--headless", "--port", "0", "--upstream=proxy.test:3128",
                                                "--log", "/tmp/x.log", "--log-every=30", "--debug",
                                                "--quiet", "--format=json", "--decode", "--exchanges=-"});
    ASSERT_TRUE(c.error.empty()) << c.error;
    EXPECT_TRUE(c.decode);
    EXPECT_FALSE(CCommandLine::Parse({"--headless"}).decode);
    EXPECT_EQ(c.mode, Mode::Headless);
    EXPECT_EQ(c.port.value(), "0");
    EXPECT_EQ(c.upstreamHost.value(), "proxy.test");
    EXPECT_EQ(c.upstreamPort, "3128");
    EXPECT_EQ(c.logFile.value(), "/tmp/x.log");
    EXPECT_EQ(c.logEverySeconds, 30);
    EXPECT_TRUE(c.debug);
    EXPECT_TRUE(c.quiet);
    EXPECT_EQ(c.format, RecordFormat::Json);
    EXPECT_EQ(CCommandLine::Parse({"--headless", "--session=run.kestrune"}).sessionFile, "run.kestrune");
    const CCommandLine convert = CCommandLine::Parse({"--convert", "in.har", "out.kestrune"});
    EXPECT_EQ(convert.mode, Mode::Convert);
    EXPECT_EQ(convert.convertFrom + " " + convert.convertTo, "in.har out.kestrune");
    EXPECT_EQ(c.exchangesFile.value(), "-");
    EXPECT_FALSE(CCommandLine::Parse({"--headless", "--exchanges="}).error.empty());
}

TEST(CommandLine, PortIsOnlyADecimalNumberUpTo65535)
{
    for (const char* bad : {"80abc", "abc", "", "-1", "+80", " 80", "65536", "4294967297"})
        EXPECT_FALSE(CCommandLine::Parse({"--headless", "--port", bad}).error.empty()) << bad;
    for (const char* good : {"0", "65535", "8010"})
        EXPECT_EQ(CCommandLine::Parse({"--headless", "--port", good}).port.value(), good);
}

TEST(CommandLine, UpstreamWithEmptyPortAndLastColon)
{
    CCommandLine c = CCommandLine::Parse({"--headless", "--upstream", "proxy.test:"});
    ASSERT_TRUE(c.error.empty());
    EXPECT_EQ(c.upstreamHost.value(), "proxy.test");
    EXPECT_EQ(c.upstreamPort, "");

    c = CCommandLine::Parse({"--headless", "--upstream", "proxy.test"});
    ASSERT_TRUE(c.error.empty());
    EXPECT_EQ(c.upstreamPort, "");

    c = CCommandLine::Parse({"--headless", "--upstream", ":8080"});
    EXPECT_FALSE(c.error.empty());

    // User info and brackets: the port is what follows the host's own last colon.
    for (const auto& [value, host, port] : std::vector<std::array<std::string, 3>>{
             {"u:p:w@[::1]:3128", "u:p:w@[::1]", "3128"}, {"u:pw@proxy.test", "u:pw@proxy.test", ""},
             {"[::1]", "[::1]", ""}, {"u@[2001:db8::1]:8", "u@[2001:db8::1]", "8"}}) {
        c = CCommandLine::Parse({"--headless", "--upstream", value});
        EXPECT_TRUE(c.error.empty()) << value;
        EXPECT_EQ(c.upstreamHost.value_or(""), host) << value;
        EXPECT_EQ(c.upstreamPort, port) << value;
    }
    EXPECT_FALSE(CCommandLine::Parse({"--headless", "--upstream", "u:p@:80"}).error.empty());
}

TEST(CommandLine, HelpAndVersionInEveryMode)
{
    EXPECT_EQ(CCommandLine::Parse({"--help"}).mode, Mode::Help);
    EXPECT_EQ(CCommandLine::Parse({"--headless", "--version"}).mode, Mode::Version);
    EXPECT_EQ(CCommandLine::Parse({"--headless", "--port", "1", "-h"}).mode, Mode::Help);
}

TEST(CommandLine, BadArgumentsAreReported)
{
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--bogus"},
             {"--headless", "--port"},
             {"--headless", "--log-every", "10"},               // no log file
             {"--headless", "--log", "f", "--log-every", "0"},
             {"--headless", "--log", "f", "--log-every", "ten"},
             {"--headless", "--log", ""},
             {"--port", "8010"},                                // needs --headless
             {"--headless", "extra"},
             {"--headless", "--format", "csv"},
             {"--format", "json"},                              // needs --headless
             {"--session", "s.kestrune"},                       // needs --headless
             {"--headless", "--session", ""},
             {"--convert", "in.har"},                           // two files
             {"--convert", "in.har", "out.kestrune", "--headless"},
             {"a.kestrune", "b.har"},                           // one file to open
             {"--replay", "a.har", "b.har"},
         }) {
        const CCommandLine c = CCommandLine::Parse(args);
        EXPECT_FALSE(c.error.empty()) << args.back();
    }
}

TEST(CommandLine, HttpsOptionsAndTheCertificateCommands)
{
    CCommandLine c = CCommandLine::Parse({"--headless", "--decrypt-https", "--decrypt-hosts",
                                          "*.a.test,b.test", "--pass-hosts=bank.test",
                                          "--upstream-ca", "/tmp/ca.pem", "--insecure-upstream",
                                          "--new-ca"});
    ASSERT_TRUE(c.error.empty()) << c.error;
    EXPECT_EQ(c.mode, Mode::Headless); // a new root, then the run
    EXPECT_TRUE(c.decryptHttps && c.insecureUpstream && c.newCa);
    EXPECT_EQ(c.decryptHosts.value(), "*.a.test,b.test");
    EXPECT_EQ(c.passHosts.value(), "bank.test");
    EXPECT_EQ(c.upstreamCaFile, "/tmp/ca.pem");

    EXPECT_EQ(CCommandLine::Parse({"--new-ca"}).mode, Mode::Certificate);
    c = CCommandLine::Parse({"--headless", "--export-ca", "/tmp/root.pem"});
    EXPECT_EQ(c.mode, Mode::Certificate);
    EXPECT_EQ(c.exportCaFile.value(), "/tmp/root.pem");
    EXPECT_FALSE(CCommandLine::Parse({"--export-ca="}).error.empty());
    EXPECT_NE(CCommandLine::Parse({"--decrypt-https"}).error.find("add --headless"), std::string::npos);
}

TEST(CommandLine, TimeoutsHaveDefaultsAndTakeOnlyWholeSeconds)
{
    const CCommandLine d = CCommandLine::Parse({"--headless"});
    EXPECT_EQ(d.connectTimeoutSeconds, 30);
    EXPECT_EQ(d.headerTimeoutSeconds, 60);
    EXPECT_EQ(d.idleTimeoutSeconds, 900);
    const CCommandLine c = CCommandLine::Parse(
        {"--headless", "--connect-timeout", "2", "--header-timeout=3", "--idle-timeout", "4"});
    ASSERT_TRUE(c.error.empty()) << c.error;
    EXPECT_EQ(c.connectTimeoutSeconds + c.headerTimeoutSeconds * 10 + c.idleTimeoutSeconds * 100, 432);
    for (const char* bad : {"0", "1.5", "x", "604801"})
        EXPECT_FALSE(CCommandLine::Parse({"--headless", "--idle-timeout", bad}).error.empty()) << bad;
}

TEST(CommandLine, MemoryBudgetTakesASizeWithinBounds)
{
    EXPECT_FALSE(CCommandLine::Parse({"--headless"}).memoryBudget);
    for (const auto& [text, bytes] : std::vector<std::pair<std::string, std::uint64_t>>{
             {"1G", 1ull << 30}, {"64m", 64ull << 20}, {"512MiB", 512ull << 20},
             {"2048K", 2ull << 20}, {"1048576", 1ull << 20}, {"1024G", 1ull << 40}}) {
        const CCommandLine c = CCommandLine::Parse({"--headless", "--memory-budget=" + text});
        ASSERT_TRUE(c.error.empty()) << c.error;
        EXPECT_EQ(c.memoryBudget, bytes) << text;
    }
    // Below 1M, past 1024G (and past 64 bits), no number, an unknown unit, a sign.
    for (const char* bad : {"1048575", "1025G", "99999999999999999999G", "", "M", "1T", "-1G", "1.5G"})
        EXPECT_NE(CCommandLine::Parse({"--headless", "--memory-budget", bad}).error.find("--memory-budget"),
                  std::string::npos) << bad;
}
