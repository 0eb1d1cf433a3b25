#include "ProxyFixture.h"

#include "proxy/Proxy.h"
#include "support/EventLoopWait.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>

namespace {

using ProxyLoadTest = ProxyFixture;

// An origin that answers each request with its own path as the body.
LoopbackServer::Handler EchoPath()
{
    return [](BlockingStream& s) {
        const std::string header = ReadHeader(s);
        const std::size_t start = header.find(' ') + 1;
        const std::string path = header.substr(start, header.find(' ', start) - start);
        s.Write("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(path.size()) + "\r\n\r\n"
                + path);
    };
}

TEST_F(ProxyLoadTest, ManyConcurrentClientsAreAllServed)
{
    LoopbackServer origin(EchoPath());
    constexpr int kClients = 200;
    std::atomic<int> served{0};
    std::latch allConnected(kClients);
    EXPECT_TRUE(RunClient([&] {
        std::vector<std::thread> clients;
        for (int i = 0; i < kClients; ++i) {
            // Connections arrive a little apart (the listen backlog is short), then all 200
            // are open at once and send their requests together.
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            clients.emplace_back([&, i] {
                BlockingStream browser;
                const bool connected = browser.Connect(m_nPort, 30000);
                allConnected.arrive_and_wait();
                if (!connected)
                    return;
                const std::string path = "/client/" + std::to_string(i);
                browser.Write("GET " + Url(origin.Port(), path) + " HTTP/1.0\r\n\r\n");
                const std::string reply = browser.ReadToEnd(30000);
                if (reply.size() > path.size()
                    && reply.compare(reply.size() - path.size(), path.size(), path) == 0)
                    ++served;
            });
        }
        for (std::thread& t : clients)
            t.join();
    }, 90000));
    EXPECT_EQ(served, kClients);
    ASSERT_TRUE(AllClosed());
    EXPECT_EQ(Entries().size(), static_cast<std::size_t>(kClients));
}

TEST_F(ProxyLoadTest, StalledClientsDoNotHoldUpOthers)
{
    // One browser stops halfway through its header, another never reads a large answer.
    const std::string big(8 << 20, 'x');
    LoopbackServer origin([&](BlockingStream& s) {
        const std::string header = ReadHeader(s);
        if (header.find("/big") != std::string::npos)
            s.Write("HTTP/1.0 200 OK\r\n\r\n" + big, 15000);
        else
            s.Write("HTTP/1.0 200 OK\r\n\r\nsmall");
    });
    std::string reply;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream halfHeader, nonReader;
        ASSERT_TRUE(halfHeader.Connect(m_nPort));
        halfHeader.Write("GET " + Url(origin.Port()) + " HTTP/1.0\r\nHost:");
        ASSERT_TRUE(nonReader.Connect(m_nPort));
        nonReader.Write("GET " + Url(origin.Port(), "/big") + " HTTP/1.0\r\n\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));

        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write("GET " + Url(origin.Port(), "/small") + " HTTP/1.0\r\n\r\n");
        reply = browser.ReadToEnd(5000);
    }, 15000));
    EXPECT_EQ(reply, "HTTP/1.0 200 OK\r\n\r\nsmall");
}

TEST_F(ProxyLoadTest, LargeDownloadToSlowReaderArrivesWholeAfterServerCloses)
{
    constexpr std::size_t kBody = 50u << 20;
    const std::string header = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
    auto byteAt = [](std::size_t i) { return static_cast<char>((i * 131 + i / 4093) & 0xFF); };
    std::atomic<bool> serverDone{false};
    LoopbackServer origin([&](BlockingStream& s) {
        ReadHeader(s);
        std::string block(1 << 20, '\0');
        bool ok = s.Write(header);
        for (std::size_t off = 0; ok && off < kBody; off += block.size()) {
            for (std::size_t i = 0; i < block.size(); ++i)
                block[i] = byteAt(off + i);
            ok = s.Write(block, 60000);
        }
        serverDone = true; // and the stream closes right after the last write
    });

    std::size_t good = 0, total = 0;
    bool closed = false;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write("GET " + Url(origin.Port(), "/big") + " HTTP/1.0\r\n\r\n");
        const std::string head = browser.ReadExactly(header.size(), 10000);
        if (head != header)
            return;
        // Slow at first, so that the proxy holds data when the server has finished.
        std::size_t reads = 0;
        for (;;) {
            bool ended = false;
            const std::string chunk = browser.ReadSome(reads < 200 ? 4096 : 1 << 20, 20000, &ended);
            if (chunk.empty()) {
                closed = ended;
                break;
            }
            for (char c : chunk)
                good += c == byteAt(total++);
            if (++reads < 200)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }, 120000));
    EXPECT_TRUE(serverDone);
    EXPECT_TRUE(closed);
    EXPECT_EQ(total, kBody);
    EXPECT_EQ(good, kBody);
    ASSERT_TRUE(AllClosed());
    ASSERT_EQ(Entries().size(), 1u);
    std::int64_t received = 0;
    for (const auto& r : Entries()[0]->GetRecords())
        if (r->GetDirection() == ETraceDirection::Received)
            received += r->GetByteCount();
    EXPECT_EQ(received, static_cast<std::int64_t>(header.size() + kBody));
}

TEST_F(ProxyLoadTest, SlowPeersMeetBackPressureBothWays)
{
    // Neither the browser nor the server reads: the proxy must stop taking bytes from the
    // other side instead of holding everything that is offered.
    constexpr std::size_t kOffered = 256u << 20;
    const std::string block(1 << 20, 'w');
    std::atomic<std::size_t> serverWrote{0};
    std::atomic<bool> stop{false};
    LoopbackServer origin([&](BlockingStream& s) {
        const std::string header = ReadHeader(s);
        if (header.find("/download") == std::string::npos) {
            while (!stop) // an upload nobody reads
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return;
        }
        for (std::size_t sent = 0; sent < kOffered && !stop && s.Write(block, 1000);)
            serverWrote = sent += block.size();
    });
    std::size_t browserWrote = 0;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream downloader, uploader;
        ASSERT_TRUE(downloader.Connect(m_nPort));
        downloader.Write("GET " + Url(origin.Port(), "/download") + " HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(uploader.Connect(m_nPort));
        uploader.Write("POST " + Url(origin.Port(), "/upload") + " HTTP/1.0\r\n\r\n");
        while (browserWrote < kOffered && uploader.Write(block, 1000))
            browserWrote += block.size();
        stop = true;
    }, 60000));
    // Kernel buffers take some megabytes on each side; the proxy adds about one per side.
    EXPECT_LT(serverWrote.load(), 64u << 20);
    EXPECT_LT(browserWrote, 64u << 20);
}

TEST_F(ProxyLoadTest, ListenerRestartsOnTheSamePortRightAfterTraffic)
{
    LoopbackServer origin(EchoPath());
    const std::string request = "GET " + Url(origin.Port(), "/one") + " HTTP/1.0\r\n\r\n";
    EXPECT_EQ(Exchange(request), "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\n/one");
    ASSERT_TRUE(AllClosed());

    m_pApp->m_strPort = std::to_string(m_nPort);
    ASSERT_TRUE(m_pApp->StartListening());
    EXPECT_EQ(m_pApp->GetListenPort(), m_nPort);
    EXPECT_TRUE(m_Messages.empty());
    EXPECT_TRUE(Entries().empty()) << "a restart purges the closed entries";
    EXPECT_EQ(Exchange(request), "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\n/one");
}

} // namespace
