#include "platform/NameResolver.h"
#include "support/EventLoopWait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

TEST(NameResolver, ManyLookupsAllAnswerOnTheLoopThread)
{
    CNameResolver& resolver = CNameResolver::Instance();
    const std::thread::id loop = std::this_thread::get_id();
    struct Answer {
        bool done = false, found = false, onLoop = false;
        std::vector<CNetAddress> addresses;
    };
    // More lookups than there are workers, and a name the resolver rejects without the network.
    std::vector<Answer> answers(12);
    int answered = 0;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const std::string host = i == 5 ? std::string(64, 'a') + ".invalid" : "localhost";
        ASSERT_TRUE(resolver.Lookup(host, [&, i](bool found, const std::vector<CNetAddress>& addresses) {
            answers[i] = {true, found, std::this_thread::get_id() == loop, addresses};
            ++answered;
        }));
        EXPECT_EQ(answered, 0) << "an answer never comes from inside Lookup";
    }
    ASSERT_TRUE(RunUntil([&] {
        for (const Answer& a : answers)
            if (!a.done)
                return false;
        return true;
    }, 20000));
    EXPECT_EQ(resolver.PendingCount(), 0u);
    for (std::size_t i = 0; i < answers.size(); ++i) {
        EXPECT_TRUE(answers[i].onLoop) << i;
        if (i == 5) {
            EXPECT_FALSE(answers[i].found);
        } else {
            EXPECT_TRUE(answers[i].found) << i;
            ASSERT_FALSE(answers[i].addresses.empty()) << i;
            const CNetAddress& first = answers[i].addresses.front();
            const bool loopback = first.family == AF_INET6
                ? first.bytes == CNetAddress{AF_INET6, {0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,1}}.bytes
                : first.bytes[0] == 127;
            EXPECT_TRUE(loopback) << i;
        }
    }
}

TEST(NameResolver, CallbackMayStartTheNextLookup)
{
    CNameResolver& resolver = CNameResolver::Instance();
    int chain = 0;
    CNameResolver::Callback next = [&](bool found, const std::vector<CNetAddress>&) {
        EXPECT_TRUE(found);
        if (++chain < 3) {
            EXPECT_TRUE(resolver.Lookup("localhost", next));
        }
    };
    ASSERT_TRUE(resolver.Lookup("localhost", next));
    ASSERT_TRUE(RunUntil([&] { return chain == 3; }, 20000));
}

TEST(NameResolver, SlowNamesDelayNoOtherNameAndAbandonedLookupsAreDropped)
{
    // A name server on loopback that never answers: every name sent to it hangs.
    const int silent = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&a), &length);
    CNameResolver& resolver = CNameResolver::Instance();
    ASSERT_TRUE(resolver.UseServers("127.0.0.1:" + std::to_string(ntohs(a.sin_port))));

    int slowAnswers = 0;
    std::vector<unsigned long> slow;
    for (int i = 0; i < 4; ++i)
        slow.push_back(resolver.Lookup("slow" + std::to_string(i) + ".kestrune.invalid",
                                       [&](bool, const auto&) { ++slowAnswers; }));
    bool local = false;
    ASSERT_NE(resolver.Lookup("localhost", [&](bool found, const auto&) { local = found; }), 0u);
    ASSERT_TRUE(RunUntil([&] { return local; }, 20000));
    EXPECT_EQ(slowAnswers, 0) << "localhost answered while the slow names still wait";
    EXPECT_EQ(resolver.PendingCount(), 4u);
    for (unsigned long id : slow)
        resolver.Cancel(id);
    EXPECT_EQ(resolver.PendingCount(), 0u);
    ASSERT_TRUE(resolver.UseServers(""));
    ::close(silent);
    EXPECT_EQ(slowAnswers, 0);
}
