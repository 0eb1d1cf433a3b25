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
                                                "--quiet", "--decode"});
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
}

TEST(CommandLine, PortTextIsKeptAsTyped)
{
    // The listen port follows the same atoi rules as the stored setting.
    const CCommandLine c = CCommandLine::Parse({"--headless", "--port", "80abc"});
    ASSERT_TRUE(c.error.empty());
    EXPECT_EQ(c.port.value(), "80abc");
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
