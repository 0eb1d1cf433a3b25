// Browsers that fail: the pair is torn down cleanly, its trace entry stays, and the proxy goes
// on serving.
#include "ProxyFixture.h"

#include "proxy/ConnectionWatchdog.h"
#include "proxy/Proxy.h"
#include "support/EventLoopWait.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

const std::string kAnswer = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";

std::int64_t BytesOf(const CTraceConnection& entry, ETraceDirection direction)
{
    std::int64_t n = 0;
    for (const auto& r : entry.GetRecords())
        n += r->GetDirection() == direction ? r->GetByteCount() : 0;
    return n;
}

using FaultBrowserTest = ProxyFixture;

TEST_F(FaultBrowserTest, ResetMidUploadPassesOnAnExactPrefixAndCloses)
{
    const std::string header = "POST /upload HTTP/1.0\r\nContent-Length: 8000000\r\n\r\n";
    std::string body(2u << 20, '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>((i * 13 + i / 509) & 0xFF);
    std::string atServer;
    bool serverSawEnd = false;
    LoopbackServer origin([&](BlockingStream& s) {
        atServer = s.ReadToEnd(10000, &serverSawEnd);
    });
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write("POST " + Url(origin.Port(), "/upload") + " HTTP/1.0\r\nContent-Length: 8000000\r\n\r\n");
        browser.Write(body, 5000);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        browser.SetResetOnClose();
    }, 20000));
    ASSERT_TRUE(AllClosed());
    // The origin handler ends once the proxy has closed its side.
    EXPECT_TRUE(RunUntil([&] { return origin.Finished() == 1; }, 12000));
    EXPECT_TRUE(serverSawEnd);
    const std::string sent = header + body;
    ASSERT_GE(atServer.size(), header.size());
    EXPECT_LE(atServer.size(), sent.size());
    EXPECT_EQ(sent.compare(0, atServer.size(), atServer), 0) << "the server got altered bytes";

    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_FALSE(Entries()[0]->IsOpen());
    EXPECT_GE(BytesOf(*Entries()[0], ETraceDirection::Sent), static_cast<std::int64_t>(atServer.size()));

    LoopbackServer next([](BlockingStream& s) {
        ReadHeader(s);
        s.Write(kAnswer);
    });
    EXPECT_EQ(Exchange("GET " + Url(next.Port()) + " HTTP/1.0\r\n\r\n"), kAnswer);
}

TEST_F(FaultBrowserTest, BrowserGoneBeforeItsAnswerTearsThePairDownAndKeepsTheEntry)
{
    for (const bool reset : {false, true}) {
        std::atomic<bool> browserGone{false};
        bool serverSawEnd = false;
        LoopbackServer origin([&](BlockingStream& s) {
            ReadHeader(s);
            for (int i = 0; i < 500 && !browserGone; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            // The answer comes too late; the proxy has closed this side by now.
            s.ReadToEnd(5000, &serverSawEnd);
            s.Write(kAnswer, 1000);
        });
        EXPECT_TRUE(RunClient([&] {
            BlockingStream browser;
            ASSERT_TRUE(browser.Connect(m_nPort));
            browser.Write("GET " + Url(origin.Port(), "/late") + " HTTP/1.0\r\n\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (reset)
                browser.SetResetOnClose();
            browser.Close();
            browserGone = true;
        }));
        ASSERT_TRUE(AllClosed()) << (reset ? "reset" : "close");
        EXPECT_TRUE(RunUntil([&] { return origin.Finished() == 1; }, 8000));
        EXPECT_TRUE(serverSawEnd) << (reset ? "reset" : "close");
        ASSERT_EQ(Entries().size(), 1u);
        EXPECT_FALSE(Entries()[0]->IsOpen());
        // A close looks like a half-close, so the answer may still be read (and recorded)
        // before the send to the browser fails; after a reset nothing more is read.
        const std::string records = Records(*Entries()[0]);
        EXPECT_EQ(records.rfind("0/1/22", 0), 0u) << records;
        if (reset) {
            EXPECT_EQ(records, "0/1/22");
        }
        m_pApp->ClearAllData();
        EXPECT_TRUE(Entries().empty()) << "a closed entry goes with the next clear";
    }
    LoopbackServer next([](BlockingStream& s) {
        ReadHeader(s);
        s.Write(kAnswer);
    });
    EXPECT_EQ(Exchange("GET " + Url(next.Port()) + " HTTP/1.0\r\n\r\n"), kAnswer);
}

} // namespace

TEST_F(FaultBrowserTest, OneSweepEndsEveryStalledHeaderAndNoOtherPair)
{
    // Pairs leave the watchdog's list as the sweep ends them, in whatever order they sit there.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    LoopbackServer origin([&](BlockingStream& s) {
        ReadHeader(s);
        released.wait_for(std::chrono::seconds(20));
        s.Write(kAnswer);
    });
    BlockingStream waiting;
    ASSERT_TRUE(waiting.Connect(m_nPort));
    waiting.Write("GET " + Url(origin.Port()) + " HTTP/1.0\r\n\r\n");
    const std::string partial = "GET " + Url(origin.Port()) + " HTTP/1.0\r\nX-Slow: ";
    std::vector<BlockingStream> stalled(5);
    for (BlockingStream& s : stalled) {
        ASSERT_TRUE(s.Connect(m_nPort));
        s.Write(partial);
    }
    CConnectionWatchdog& watchdog = m_pApp->Watchdog();
    ASSERT_TRUE(RunUntil([&] {
        return Entries().size() == 1 && watchdog.HeaderBytesHeld() == 5 * partial.size();
    }));
    watchdog.SetTimeouts(30, 0, 900); // every header still coming is overdue now
    watchdog.Sweep();
    EXPECT_EQ(watchdog.HeaderBytesHeld(), 0u);
    for (BlockingStream& s : stalled) {
        bool closed = false;
        EXPECT_EQ(s.ReadToEnd(5000, &closed), "");
        EXPECT_TRUE(closed);
    }
    release.set_value();
    std::string reply;
    EXPECT_TRUE(RunClient([&] { reply = waiting.ReadToEnd(10000); }, 15000));
    EXPECT_EQ(reply, kAnswer);
}
