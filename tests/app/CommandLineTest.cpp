#include "app/CommandLine.h"

#include <gtest/gtest.h>

using Mode = CCommandLine::Mode;

TEST(CommandLine, NoArgumentsOpensTheWindow)
{
    const CCommandLine c = CCommandLine::Parse({});
    EXPECT_TRUE(c.error.empty());
    EXPECT_EQ(c.mode, Mode::Window);
}

TEST(CommandLine, HeadlessOptionsInBothForms)
{
    const CCommandLine c = CCommandLine::Parse({"--headless", "--port", "0", "--upstream=proxy.test:3128",
                                                "--log", "/tmp/x.log", "--log-every=30", "--debug",
                                                "--quiet"});
    ASSERT_TRUE(c.error.empty()) << c.error;
    EXPECT_EQ(c.mode, Mode::Headless);
    EXPECT_EQ(c.port.value(), "0");
    EXPECT_EQ(c.upstreamHost.value(), "proxy.test");
    EXPECT_EQ(c.upstreamPort, "3128");
    EXPECT_EQ(c.logFile.value(), "/tmp/x.log");
    EXPECT_EQ(c.logEverySeconds, 30);
    EXPECT_TRUE(c.debug);
    EXPECT_TRUE(c.quiet);
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
         }) {
        const CCommandLine c = CCommandLine::Parse(args);
        EXPECT_FALSE(c.error.empty()) << args.back();
    }
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
