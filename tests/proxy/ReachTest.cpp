// IPv6 browsers and servers, and upstream proxies that ask for credentials.
#include "ProxyFixture.h"

#include "platform/NameResolver.h"
#include "support/EventLoopWait.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <thread>

namespace {

// A name server on 127.0.0.1 answering A and AAAA questions from its table (name -> address
// texts), so names resolve without leaving the machine.
struct FakeNameServer {
    explicit FakeNameServer(std::map<std::string, std::vector<std::string>> names) : table(std::move(names))
    {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
        address = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        thread = std::thread([this] { while (!stop) Answer(); });
    }
    ~FakeNameServer() { stop = true; thread.join(); ::close(fd); }
    void Answer()
    {
        pollfd ready{fd, POLLIN, 0};
        unsigned char q[512];
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::poll(&ready, 1, 50) > 0 ? ::recvfrom(fd, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &fromLength) : 0;
        std::string name;
        std::size_t at = 12; // the question's labels, then its type
        for (; at < 400 && at < static_cast<std::size_t>(n) && q[at] != 0; at += 1 + q[at])
            name += (name.empty() ? "" : ".") + std::string(reinterpret_cast<char*>(q) + at + 1, q[at]);
        if (n < 17 || at + 5 > static_cast<std::size_t>(n))
            return;
        const bool v6 = q[at + 2] == 28;
        std::string reply(reinterpret_cast<char*>(q), at + 5);
        reply[2] = '\x81', reply[3] = '\x80', reply[7] = 0, reply[9] = reply[11] = 0;
        for (const std::string& text : table[name]) {
            unsigned char bytes[16];
            if (inet_pton(v6 ? AF_INET6 : AF_INET, text.c_str(), bytes) != 1)
                continue;
            reply += std::string("\xc0\x0c\0", 3) + char(q[at + 2]) + std::string("\0\1\0\0\0\5\0", 7) + char(v6 ? 16 : 4);
            reply.append(reinterpret_cast<char*>(bytes), v6 ? 16 : 4);
            ++reply[7];
        }
        ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
    }
    std::map<std::string, std::vector<std::string>> table;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::string address;
    std::atomic<bool> stop{false};
    std::thread thread;
};

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
    if (six.Port() == 0)
        GTEST_SKIP() << "no IPv6 on loopback";
    // "both" has an IPv6 address first where nothing listens on four's port: the IPv4 one
    // must be tried next.
    FakeNameServer names({{"six.kestrune.invalid", {"::1"}},
                          {"both.kestrune.invalid", {"::1", "127.0.0.1"}}});
    ASSERT_TRUE(CNameResolver::Instance().UseServers(names.address));
    const std::string p6 = std::to_string(six.Port()), p4 = std::to_string(four.Port());
    const std::string got = RunCommand("curl -s --max-time 20 -x http://[::1]:" + std::to_string(m_nPort)
                                + " http://[::1]:" + p6 + "/a http://six.kestrune.invalid:" + p6
                                + "/b http://both.kestrune.invalid:" + p4 + "/c");
    CNameResolver::Instance().UseServers("");
    EXPECT_EQ(got, "/a/b/c");
    ASSERT_TRUE(AllClosed());
}

// An upstream proxy that wants Basic "u:p w" or "me:mine" (else 407): it answers with the
// credentials it got, and opens CONNECT tunnels to an origin of its own that answers the same way.
LoopbackServer::Handler DemandingUpstream()
{
    return [](BlockingStream& s) {
        const std::string header = ReadHeader(s, 10000);
        const std::size_t at = header.find("Proxy-Authorization: ");
        const std::string given = at == std::string::npos ? "" : header.substr(at + 21, header.find('\r', at) - at - 21);
        if (header.find("Proxy-Authorization", at + 1) != std::string::npos
            || (given != "Basic dTpwIHc=" && given != "Basic bWU6bWluZQ==")) {
            s.Write("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n"
                    "Content-Length: 0\r\nConnection: close\r\n\r\n");
            return;
        }
        if (header.rfind("CONNECT ", 0) == 0) {
            s.Write("HTTP/1.1 200 Connection established\r\n\r\n");
            if (ReadHeader(s, 10000).empty())
                return;
        }
        s.Write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(given.size() + 1)
                + "\r\nConnection: close\r\n\r\n" + given + "|");
    };
}

} // namespace

TEST_F(ReachTest, UpstreamCredentialsGoWithRequestsAndConnectsUnlessTheBrowserSendsItsOwn)
{
    LoopbackServer upstream(DemandingUpstream());
    const std::string port = std::to_string(upstream.Port());
    const std::string curl = "curl -s --max-time 20 -x http://127.0.0.1:" + std::to_string(m_nPort);
    const std::string url = " http://origin.kestrune.invalid/x";
    m_pApp->ApplySettings("localhost", "0", "u:p w@127.0.0.1", port);
    EXPECT_EQ(m_pApp->m_strProxyAddress, "u@127.0.0.1") << "the password is kept apart";
    // Plain, then through a tunnel (curl's CONNECT), then with the browser's own credentials.
    EXPECT_EQ(RunCommand(curl + url) + RunCommand(curl + " -p" + url) + RunCommand(curl + " -U me:mine" + url),
              "Basic dTpwIHc=|Basic dTpwIHc=|Basic bWU6bWluZQ==|");
    EXPECT_TRUE(m_Messages.empty());

    // No credentials, then wrong ones: the 407s pass to the browser and each case is said once.
    for (const char* address : {"127.0.0.1", "u:wrong@127.0.0.1"}) {
        m_pApp->ApplySettings("localhost", "0", address, port);
        EXPECT_EQ(RunCommand(curl + " -o /dev/null -w %{http_code}" + url + url), "407407");
        RunCommand(curl + " -p" + url);
    }
    ASSERT_EQ(m_Messages.size(), 2u);
    EXPECT_NE(m_Messages[0].find("127.0.0.1:" + port + " asks for credentials"), std::string::npos);
    EXPECT_NE(m_Messages[1].find("u@127.0.0.1:" + port + " refused the credentials of user u"),
              std::string::npos);
    ASSERT_TRUE(AllClosed());
}
