// An exchange's packed fields come back as they went in, at the edges of every number's range.
#include "session/ExchangePack.h"
#include "trace/Exchange.h"

#include <gtest/gtest.h>

#include <climits>

TEST(ExchangePack, EveryFieldComesBackAtTheEdgesOfItsRange)
{
    struct Case {
        const char* name;
        std::int64_t started, ended;
        int status, connection;
        std::uint64_t big;
    };
    const Case cases[] = {
        {"nothing happened", 0, 0, 0, 0, 0},
        {"ended before it started", 1'700'000'000'000'000, 1, -1, 1, 1},
        {"the widest times", INT64_MIN, INT64_MAX, INT_MIN, INT_MIN, INT64_MAX},
        {"started at 0, ended later", 0, INT64_MIN, INT_MAX, INT_MAX, UINT64_MAX >> 1},
    };
    for (const Case& c : cases) {
        CExchange e;
        e.m_nId = 7;
        e.m_nBrowserConnection = c.connection;
        e.m_nServerConnection = -c.connection / 2;
        e.m_bHttps = true;
        e.m_nPort = 65535;
        e.m_nFlags = 255;
        e.m_nReplayOf = c.big;
        e.m_nStatus = c.status;
        e.m_nUnexpectedBytes = c.big;
        e.m_nEnd = EExchangeEnd::Refused;
        e.m_Times = {c.started, c.ended, 0, c.started, 1, c.ended, c.ended};
        e.m_strHost = std::string("h\0st", 4);
        e.m_strRequestHead = std::string(200, '\x80');
        e.m_strEndReason = "why";
        const ExchangePack::SBodySizes request{CExchange::kMaxKeptBody, INT64_MAX, true}, response{};
        std::string packed = "kept", problem;
        ExchangePack::Append(e, e.m_strRequestHead, "", request, response, packed);
        CExchange back;
        ExchangePack::SBodySizes sizes[2];
        ASSERT_TRUE(ExchangePack::Unpack(std::string_view(packed).substr(4), 7, back, sizes[0],
                                         sizes[1], problem))
            << c.name << ": " << problem;
        EXPECT_TRUE(back == e) << c.name;
        EXPECT_EQ(sizes[0].kept, request.kept);
        EXPECT_EQ(sizes[0].total, request.total);
        EXPECT_TRUE(sizes[0].zstd && !sizes[1].zstd && sizes[1].total == 0) << c.name;
        // Number 0, or a kept size past the bound: refused.
        EXPECT_FALSE(ExchangePack::Unpack(std::string_view(packed).substr(4), 0, back, sizes[0],
                                          sizes[1], problem));
        std::string over;
        ExchangePack::Append(e, "", "", {request.kept + 1, INT64_MAX, false}, response, over);
        EXPECT_FALSE(ExchangePack::Unpack(over, 7, back, sizes[0], sizes[1], problem)) << c.name;
    }
}
