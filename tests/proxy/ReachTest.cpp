// IPv6 browsers and servers, and upstream proxies that ask for credentials.
#include "ProxyFixture.h"

#include "platform/NameResolver.h"
#include "support/EventLoopWait.h"
#include "support/FakeNameServer.h"

#include <cstdio>

namespace {

std::string RunCommand(const std::string& command)
{
    std::string got;
    EXPECT_TRUE(RunClient([&] {
        FILE* out = ::popen(command.c_str(), "r");
        ASSERT_NE(out, nullptr);
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
            got.append(buffer, n);
        ::pclose(out);
    }, 30000));
    return got;
}

// Answers every request with its own path.
LoopbackServer::Handler EchoPath()
{
    return [](BlockingStream& s) {
        for (std::string header; !(header = ReadHeader(s, 10000)).empty();) {
            const std::string path = header.substr(4, header.find(' ', 4) - 4);
            s.Write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(path.size()) + "\r\n\r\n"
                    + path);
        }
    };
}

using ReachTest = ProxyFixture;

TEST_F(ReachTest, CurlOverIpv6ReachesOriginsByLiteralAndByNameOnEitherFamily)
{
    LoopbackServer six(EchoPath(), true), four(EchoPath());
    ASSERT_GT(six.Port(), 0) << "no IPv6 on loopback";
    // "both" has an IPv6 address first where nothing listens on four's port: the IPv4 one
    // must be tried next.
    FakeNameServer names({{"six.kestrune.invalid", {"::1"}},
                          {"both.kestrune.invalid", {"::1", "127.0.0.1"}}});
    ASSERT_TRUE(CNameResolver::Instance().UseServers(names.Address()));
    const std::string p6 = std::to_string(six.Port()), p4 = std::to_string(four.Port());
    const std::string got = RunCommand("curl -s --max-time 20 -x http://[::1]:" + std::to_string(m_nPort)
                                + " http://[::1]:" + p6 + "/a http://six.kestrune.invalid:" + p6
                                + "/b http://both.kestrune.invalid:" + p4 + "/c");
    CNameResolver::Instance().UseServers("");
    EXPECT_EQ(got, "/a/b/c");
    ASSERT_TRUE(AllClosed());
}

} // namespace
