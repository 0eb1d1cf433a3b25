// Load and leak checks on loopback. The biggest ones carry "Big" in their names
// (--gtest_filter='*Big*'); under AddressSanitizer they run with smaller counts.
#include "ProxyFixture.h"

#include "proxy/Proxy.h"
#include "support/ClientSwarm.h"
#include "support/EventLoopWait.h"
#include "support/PollOrigin.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string_view>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's own allocator keeps its figures (its header is not always installed).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kSequentialConnections = 10000;
#else
constexpr std::size_t kSequentialConnections = 100000;
#endif

using LoadTest = ProxyFixture;

std::string PathFor(std::size_t i)
{
    return "/load/" + std::to_string(i);
}

// Bytes of heap in use, after handing free memory back.
std::size_t HeapInUse()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    ::malloc_trim(0);
    return mallinfo2().uordblks;
#endif
}

// A swarm of browsers that each fetch their own path from origin through the proxy.
ClientSwarm PathSwarm(int originPort, std::size_t concurrency)
{
    ClientSwarm swarm;
    swarm.request = [originPort](std::size_t i) {
        return "GET http://127.0.0.1:" + std::to_string(originPort) + PathFor(i)
               + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    };
    swarm.check = [](std::size_t i, const std::string& reply) {
        return reply == PollOrigin::Reply(PathFor(i));
    };
    swarm.concurrency = concurrency;
    return swarm;
}

// Runs the swarm on a thread of its own while the proxy runs here; peakLive is the most
// connection pairs seen alive at once; allLive is set once `count` of them are.
ClientSwarm::Result RunSwarm(const ClientSwarm& swarm, int port, std::size_t count,
                             std::size_t* peakLive = nullptr,
                             std::atomic<bool>* allLive = nullptr)
{
    ClientSwarm::Result result;
    std::atomic<bool> done{false};
    std::thread clients([&] {
        result = swarm.Run(port, count);
        done = true;
    });
    std::size_t peak = 0;
    RunUntil([&] {
        peak = std::max(peak, GetTraceApp().Connections().LiveCount());
        if (allLive && peak >= count)
            *allLive = true;
        return done.load();
    }, swarm.timeoutMs + 5000);
    RunUntil([&] { return done.load(); }, 60000); // the swarm bounds its own time
    clients.join();
    if (peakLive)
        *peakLive = peak;
    return result;
}

TEST_F(LoadTest, ThousandConcurrentConnectionsAreAllServed)
{
    constexpr std::size_t kClients = 1000;
    // Each connection costs a descriptor at the browser, two in the proxy and one at the origin.
    ASSERT_TRUE(RaiseFileLimit(4 * kClients + 256));
    PollOrigin origin;
    ASSERT_GT(origin.Port(), 0);
    ClientSwarm swarm = PathSwarm(origin.Port(), kClients);
    swarm.sendTogether = true;
    swarm.timeoutMs = 120000;

    std::atomic<bool> allOpen{false};
    swarm.released = [&] { return allOpen.load(); };
    std::size_t peak = 0;
    const ClientSwarm::Result result = RunSwarm(swarm, m_nPort, kClients, &peak, &allOpen);
    EXPECT_EQ(result.good, kClients);
    EXPECT_EQ(result.bad + result.failed + result.unfinished, 0u);
    EXPECT_GT(peak, kClients / 2) << "the connections were not open together";
    ASSERT_TRUE(AllClosed());
    EXPECT_EQ(Entries().size(), kClients);
    for (const auto& entry : Entries()) {
        const std::string records = Records(*entry);
        EXPECT_EQ(records.rfind("0/1/", 0), 0u) << records;
        EXPECT_NE(records.find(" 1/1/"), std::string::npos) << records;
    }
}

TEST_F(LoadTest, BigSequentialConnectionsLeakNoDescriptorsAndNoMemory)
{
    PollOrigin origin;
    ASSERT_GT(origin.Port(), 0);
    ClientSwarm swarm = PathSwarm(origin.Port(), 8);
    swarm.timeoutMs = 150000; // a busy machine (a parallel test run) may take a while

    // A warm-up settles the allocator's and the event loop's own tables.
    ClientSwarm::Result warm = RunSwarm(swarm, m_nPort, 2000);
    ASSERT_EQ(warm.good, 2000u);
    ASSERT_TRUE(AllClosed());
    m_pApp->ClearAllData();
    FlushDeferredDeletes();
    const int fdsBefore = OpenFileDescriptors();
    const std::size_t heapBefore = HeapInUse();

    std::size_t peak = 0;
    const ClientSwarm::Result result = RunSwarm(swarm, m_nPort, kSequentialConnections, &peak);
    EXPECT_EQ(result.good, kSequentialConnections);
    EXPECT_EQ(result.bad + result.failed + result.unfinished, 0u);
    EXPECT_LE(peak, 16u) << "pairs must go as soon as their exchange ends";
    ASSERT_TRUE(AllClosed());
    EXPECT_EQ(Entries().size(), kSequentialConnections) << "every exchange is in the trace";

    m_pApp->ClearAllData();
    FlushDeferredDeletes();
    EXPECT_TRUE(Entries().empty());
    // Fewer is fine: a descriptor of the event loop's own may have gone meanwhile.
    EXPECT_LE(OpenFileDescriptors(), fdsBefore);
    const std::size_t heapAfter = HeapInUse();
    std::printf("[ figures  ] %zu connections: descriptors %d -> %d, heap %zu -> %zu bytes\n",
                kSequentialConnections, fdsBefore, OpenFileDescriptors(), heapBefore, heapAfter);
    EXPECT_LT(heapAfter, heapBefore + (2u << 20))
        << "heap grew from " << heapBefore << " to " << heapAfter << " bytes";
}

TEST_F(LoadTest, IdleAndSlowHeaderConnectionsDoNotDelayOthers)
{
    constexpr int kIdle = 250, kSlow = 250, kServed = 20;
    ASSERT_TRUE(RaiseFileLimit(2 * (kIdle + kSlow) + 256));
    PollOrigin origin;
    ASSERT_GT(origin.Port(), 0);
    const std::string slowStart = "GET " + Url(origin.Port(), "/slow") + " HTTP/1.0\r\n";
    int opened = 0, served = 0;
    EXPECT_TRUE(RunClient([&] {
        std::vector<BlockingStream> idle(kIdle), slow(kSlow);
        for (auto& s : idle)
            opened += s.Connect(m_nPort);
        for (auto& s : slow) {
            opened += s.Connect(m_nPort);
            s.Write(slowStart);
        }
        for (int i = 0; i < kServed; ++i) {
            // The slow ones go on, one header byte each, between the normal requests.
            for (auto& s : slow)
                s.Write(i % 2 ? "X" : "-", 1000);
            BlockingStream browser;
            if (!browser.Connect(m_nPort))
                continue;
            const std::string path = "/served/" + std::to_string(i);
            browser.Write("GET " + Url(origin.Port(), path) + " HTTP/1.0\r\n\r\n");
            bool closed = false;
            served += browser.ReadToEnd(5000, &closed) == PollOrigin::Reply(path) && closed;
        }
    }, 120000));
    EXPECT_EQ(opened, kIdle + kSlow);
    EXPECT_EQ(served, kServed);
    // Those that never finished their header leave no trace and no connection behind.
    ASSERT_TRUE(AllClosed());
    EXPECT_EQ(Entries().size(), static_cast<std::size_t>(kServed));
}

// Bytes of a long stream, made block by block: a random block with its number stamped on it,
// so that lost, repeated or swapped blocks all change the checksum.
class StreamPattern {
public:
    static constexpr std::size_t kBlock = 64 << 10;
    explicit StreamPattern(unsigned seed) : m_Base(kBlock, '\0')
    {
        for (std::size_t i = 0; i < kBlock; ++i)
            m_Base[i] = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
    }
    const std::string& Block(std::uint64_t n)
    {
        std::memcpy(m_Base.data(), &n, sizeof n);
        return m_Base;
    }

private:
    std::string m_Base;
};

// A checksum over a stream that arrives in pieces of any size.
class StreamChecksum {
public:
    void Add(std::string_view bytes)
    {
        m_nTotal += bytes.size();
        while (!bytes.empty()) {
            const std::size_t take = std::min(bytes.size(), StreamPattern::kBlock - m_Pending.size());
            m_Pending.append(bytes.substr(0, take));
            bytes.remove_prefix(take);
            if (m_Pending.size() == StreamPattern::kBlock)
                Fold();
        }
    }
    std::uint64_t Value()
    {
        if (!m_Pending.empty())
            Fold();
        return m_nSum;
    }
    std::uint64_t Total() const { return m_nTotal; }

private:
    void Fold()
    {
        m_nSum = m_nSum * 1099511628211ull ^ std::hash<std::string_view>{}(m_Pending);
        m_Pending.clear();
    }
    std::string m_Pending;
    std::uint64_t m_nSum = 14695981039346656037ull;
    std::uint64_t m_nTotal = 0;
};

// Sends count bytes of the pattern; returns the checksum of what was sent.
std::uint64_t SendPattern(BlockingStream& s, unsigned seed, std::uint64_t count)
{
    StreamPattern pattern(seed);
    StreamChecksum sum;
    for (std::uint64_t n = 0; sum.Total() < count; ++n) {
        const std::string& block = pattern.Block(n);
        const std::size_t take = static_cast<std::size_t>(
            std::min<std::uint64_t>(block.size(), count - sum.Total()));
        if (!s.Write(block.substr(0, take), 20000))
            break;
        sum.Add(std::string_view(block).substr(0, take));
    }
    return sum.Value();
}

// Reads count bytes; returns their checksum and sets got to how many came.
std::uint64_t ReceiveCounted(BlockingStream& s, std::uint64_t count, std::uint64_t& got)
{
    StreamChecksum sum;
    while (sum.Total() < count) {
        const std::string piece = s.ReadSome(static_cast<std::size_t>(
            std::min<std::uint64_t>(1 << 20, count - sum.Total())), 20000);
        if (piece.empty())
            break;
        sum.Add(piece);
    }
    got = sum.Total();
    return sum.Value();
}

TEST_F(LoadTest, BigConnectTunnelCarriesAGibibyteBothWaysIntact)
{
#if defined(__SANITIZE_ADDRESS__)
    constexpr std::uint64_t kBytes = 128ull << 20;
#else
    constexpr std::uint64_t kBytes = 1ull << 30;
#endif
    std::uint64_t upSent = 0, upReceived = 0, upCount = 0;
    std::uint64_t downSent = 0, downReceived = 0, downCount = 0;
    LoopbackServer origin([&](BlockingStream& s) {
        std::thread writer([&] { downSent = SendPattern(s, 2, kBytes); });
        upReceived = ReceiveCounted(s, kBytes, upCount);
        writer.join();
    });
    const std::string k200 = CProxy::kTunnelReply;
    std::string reply;
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        browser.Write("CONNECT 127.0.0.1:" + std::to_string(origin.Port()) + " HTTP/1.1\r\n\r\n");
        reply = browser.ReadExactly(k200.size());
        if (reply != k200)
            return;
        std::thread writer([&] { upSent = SendPattern(browser, 1, kBytes); });
        downReceived = ReceiveCounted(browser, kBytes, downCount);
        writer.join();
    }, 240000));
    // The browser may finish before the origin has read the last bytes it sent.
    EXPECT_TRUE(RunUntil([&] { return origin.Finished() == 1; }, 60000));
    EXPECT_EQ(reply, k200);
    EXPECT_EQ(upCount, kBytes);
    EXPECT_EQ(downCount, kBytes);
    EXPECT_EQ(upReceived, upSent);
    EXPECT_EQ(downReceived, downSent);

    ASSERT_TRUE(AllClosed(10000));
    ASSERT_EQ(Entries().size(), 1u);
    std::uint64_t recorded[2] = {0, 0};
    for (const auto& r : Entries()[0]->GetRecords())
        recorded[static_cast<int>(r->GetDirection())] += static_cast<std::uint64_t>(r->GetByteCount());
    EXPECT_EQ(recorded[0], kBytes);
    EXPECT_EQ(recorded[1], kBytes);
}

} // namespace
