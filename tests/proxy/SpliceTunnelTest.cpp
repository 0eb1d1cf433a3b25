// A tunnel that is not decrypted goes socket to socket through pipes: still byte-exact both
// ways, still throttled by a reader that does not keep up, still recorded by its counts.
#include "ProxyFixture.h"

#include "proxy/Proxy.h"
#include "support/EventLoopWait.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

namespace {

// The largest of a /proc setting's numbers (the last of tcp_rmem's three is its ceiling).
std::size_t ProcCeiling(const char* path, std::size_t fallback)
{
    std::ifstream in(path);
    std::size_t value = 0, largest = 0;
    while (in >> value)
        largest = std::max(largest, value);
    return largest ? largest : fallback;
}

// Well past what all sockets and pipes can hold: the relay's receive buffer may grow to the
// system's ceiling (32 MiB on some machines) while nobody reads on the far side.
const std::size_t kBytes = ProcCeiling("/proc/sys/net/ipv4/tcp_rmem", 6u << 20)
    + ProcCeiling("/proc/sys/net/ipv4/tcp_wmem", 4u << 20)
    + 2 * ProcCeiling("/proc/sys/fs/pipe-max-size", 1u << 20) + (8u << 20);

char PatternByte(std::size_t i, unsigned seed)
{
    return static_cast<char>((i * 131 + (i >> 12) + seed) & 0xff);
}

// One direction: a writer that notes when the far side stops taking bytes (nobody reads
// there), and a reader that starts only then and takes small pieces.
struct SDirection {
    unsigned seed;
    std::atomic<bool> stalled{false};
    std::atomic<int> phase{0}; // 1: stalled or done (the writer's waits are all bounded)
    std::size_t written = 0;
    std::size_t matched = 0;

    void Write(BlockingStream& s)
    {
        std::string block(65536, '\0');
        while (written < kBytes) {
            for (std::size_t i = 0; i < block.size(); ++i)
                block[i] = PatternByte(written + i, seed);
            pollfd out{s.Handle(), POLLOUT, 0};
            // A writer the relay has taken nothing from for a while is held back.
            if (::poll(&out, 1, stalled ? 20000 : 300) == 0) {
                if (stalled.exchange(true))
                    break;
                phase = 1;
                phase.notify_all();
                continue;
            }
            const ssize_t n = ::send(s.Handle(), block.data(),
                                     std::min(block.size(), kBytes - written), MSG_DONTWAIT);
            if (n <= 0 && errno != EAGAIN)
                break;
            written += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        phase = 1;
        phase.notify_all();
    }

    void Read(BlockingStream& s)
    {
        phase.wait(0);
        while (matched < kBytes) {
            const std::string piece = s.ReadSome(4096, 20000);
            if (piece.empty())
                return;
            for (char c : piece) {
                if (c != PatternByte(matched, seed))
                    return;
                ++matched;
            }
        }
    }
};

void Shrink(BlockingStream& s)
{
    const int small = 65536;
    ::setsockopt(s.Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(s.Handle(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
}

using SpliceTunnelTest = ProxyFixture;

TEST_F(SpliceTunnelTest, SlowReadersOnBothSidesGetEveryByteInOrder)
{
    SDirection up{1}, down{2};
    LoopbackServer origin([&](BlockingStream& s) {
        Shrink(s);
        std::thread writer([&] { down.Write(s); });
        up.Read(s);
        writer.join();
    });
    EXPECT_TRUE(RunClient([&] {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(m_nPort));
        Shrink(browser);
        browser.Write("CONNECT 127.0.0.1:" + std::to_string(origin.Port()) + " HTTP/1.1\r\n\r\n");
        ASSERT_EQ(browser.ReadExactly(std::string(CProxy::kTunnelReply).size()),
                  CProxy::kTunnelReply);
        std::thread writer([&] { up.Write(browser); });
        down.Read(browser);
        writer.join();
    }, 240000));
    EXPECT_TRUE(RunUntil([&] { return origin.Finished() == 1; }, 60000));
    for (const SDirection* d : {&up, &down}) {
        EXPECT_TRUE(d->stalled) << "the relay took everything while nobody read: " << d->seed;
        EXPECT_EQ(d->written, kBytes);
        EXPECT_EQ(d->matched, kBytes);
    }

    // Each read is one record of its count; reads larger than a copy's show the pipes ran.
    ASSERT_TRUE(AllClosed(10000));
    ASSERT_EQ(Entries().size(), 1u);
    std::size_t recorded[2] = {0, 0};
    std::int32_t largest = 0;
    for (const auto& r : Entries()[0]->GetRecords()) {
        recorded[static_cast<int>(r->GetDirection())] += static_cast<std::size_t>(r->GetByteCount());
        largest = std::max(largest, r->GetByteCount());
        EXPECT_TRUE(r->IsSSL() && r->GetText().ends_with(" Bytes Encrypted SSL Data\r\n"));
    }
    EXPECT_EQ(recorded[0], kBytes);
    EXPECT_EQ(recorded[1], kBytes);
    EXPECT_GT(largest, CProxy::kReadSize);
}

} // namespace
