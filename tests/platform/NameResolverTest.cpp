#include "platform/NameResolver.h"
#include "support/EventLoopWait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <thread>
#include <vector>

TEST(NameResolver, ManyLookupsAllAnswerOnTheLoopThread)
{
    CNameResolver& resolver = CNameResolver::Instance();
    const std::thread::id loop = std::this_thread::get_id();
    struct Answer {
        bool done = false, found = false, onLoop = false;
        unsigned int address = 0;
    };
    // More lookups than there are workers, and a name the resolver rejects without the network.
    std::vector<Answer> answers(12);
    int answered = 0;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const std::string host = i == 5 ? std::string(64, 'a') + ".invalid" : "localhost";
        ASSERT_TRUE(resolver.Lookup(host, [&, i](bool found, unsigned int address) {
            answers[i] = {true, found, std::this_thread::get_id() == loop, address};
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
            EXPECT_EQ(answers[i].address, htonl(INADDR_LOOPBACK)) << i;
        }
    }
}

TEST(NameResolver, CallbackMayStartTheNextLookup)
{
    CNameResolver& resolver = CNameResolver::Instance();
    int chain = 0;
    std::function<void(bool, unsigned int)> next = [&](bool found, unsigned int) {
        EXPECT_TRUE(found);
        if (++chain < 3) {
            EXPECT_TRUE(resolver.Lookup("localhost", next));
        }
    };
    ASSERT_TRUE(resolver.Lookup("localhost", next));
    ASSERT_TRUE(RunUntil([&] { return chain == 3; }, 20000));
}
