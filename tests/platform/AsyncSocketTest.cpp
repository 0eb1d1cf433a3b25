#include "platform/AsyncSocket.h"
#include "platform/EpollSet.h"
#include "platform/NameResolver.h"
#include "platform/SplicePipe.h"
#include "support/ClosedPort.h"
#include "support/EventLoopWait.h"
#include "support/TestSocket.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <memory>
#include <string>

namespace {

// A listener on a system-chosen loopback-reachable port, plus one connected pair.
class AsyncSocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        listener = std::make_unique<TestSocket>();
        ASSERT_TRUE(listener->Create(0, CAsyncSocket::FD_ACCEPT | CAsyncSocket::FD_CLOSE));
        ASSERT_TRUE(listener->Listen(5));
        port = listener->GetLocalPort();
        ASSERT_GT(port, 0);
        listener->onAccept = [this](TestSocket& l, int) {
            auto s = std::make_unique<TestSocket>();
            if (l.Accept(*s)) {
                s->AsyncSelect(CAsyncSocket::kAllEvents);
                accepted = std::move(s);
            }
        };
    }

    void TearDown() override
    {
        accepted.reset();
        client.reset();
        listener.reset();
        FlushDeferredDeletes();
    }

    // Connects `client` to the listener by the given host text and waits for both ends.
    void ConnectPair(const std::string& host = "127.0.0.1")
    {
        client = std::make_unique<TestSocket>();
        ASSERT_TRUE(client->Create());
        EXPECT_FALSE(client->Connect(host, port));
        ASSERT_EQ(client->GetLastError(), WSAEWOULDBLOCK);
        ASSERT_EQ(client->nConnect, 0) << "OnConnect comes from the loop, never inside Connect";
        ASSERT_TRUE(RunUntil([&] { return client->nConnect > 0 && accepted; }));
        ASSERT_EQ(client->connectError, 0);
    }

    std::unique_ptr<TestSocket> listener, accepted, client;
    int port = 0;
};

TEST_F(AsyncSocketTest, ConnectSendReceiveKeepsEveryByte)
{
    ConnectPair();
    accepted->onReceive = [](TestSocket& s, int) { s.ReadAll(); };
    const std::string data("hello\0world\r\n", 13);
    EXPECT_EQ(client->Send(data.data(), static_cast<int>(data.size())), 13);
    ASSERT_TRUE(RunUntil([&] { return accepted->received.size() == data.size(); }));
    EXPECT_EQ(accepted->received, data);

    // And the other way round.
    client->onReceive = [](TestSocket& s, int) { s.ReadAll(); };
    EXPECT_EQ(accepted->Send("pong", 4), 4);
    ASSERT_TRUE(RunUntil([&] { return client->received == "pong"; }));
}

TEST_F(AsyncSocketTest, ConnectsByNameWithoutBlocking)
{
    ConnectPair("localhost");
    EXPECT_EQ(client->nConnect, 1);
}

// Nagle may hold a send back only behind bytes not yet acknowledged: the deferred TCP_NODELAY
// must be on before any such send, on an IPv4-only socket as on a dual-stack one.
TEST_F(AsyncSocketTest, DeferredNoDelayIsOnBeforeASendThatCouldBeHeld)
{
    auto noDelay = [](const CAsyncSocket& s) {
        int value = 0, length = sizeof value;
        return s.GetSockOpt(TCP_NODELAY, &value, &length, IPPROTO_TCP) && value != 0;
    };
    struct Case {
        bool ipv4Only;
        int first;
        bool onAfterFirst;
    } cases[] = {{true, 100, false}, {false, 100, false}, {true, 4000, true}};
    for (const Case& c : cases) {
        auto socket = std::make_unique<TestSocket>();
        ASSERT_TRUE(c.ipv4Only ? socket->SocketFor("127.0.0.1") : socket->Create());
        socket->SetNoDelayWhenNeeded();
        EXPECT_FALSE(socket->Connect("127.0.0.1", port));
        ASSERT_TRUE(RunUntil([&] { return socket->nConnect > 0; }));
        const std::string bytes(static_cast<std::size_t>(c.first), 'n');
        EXPECT_EQ(socket->Send(bytes.data(), c.first), c.first);
        EXPECT_EQ(noDelay(*socket), c.onAfterFirst) << c.first;
        EXPECT_EQ(socket->Send("x", 1), 1);
        EXPECT_TRUE(noDelay(*socket)) << "the second send may wait for an acknowledgement";
    }
}

TEST_F(AsyncSocketTest, ReceiveEventRepeatsWhileDataRemains)
{
    ConnectPair();
    accepted->onReceive = [](TestSocket& s, int) {
        char buffer[10];
        const int n = s.Receive(buffer, sizeof buffer);
        if (n > 0)
            s.received.append(buffer, static_cast<size_t>(n));
    };
    const std::string data(100, 'x');
    EXPECT_EQ(client->Send(data.data(), 100), 100);
    ASSERT_TRUE(RunUntil([&] { return accepted->received.size() == 100; }));
    EXPECT_GE(accepted->nReceive, 10);
}

TEST_F(AsyncSocketTest, SendEventOnlyAfterSendWouldBlock)
{
    ConnectPair();
    RunFor(50);
    EXPECT_EQ(client->nSend, 0) << "an idle writable socket must not report OnSend";

    // Fill the socket while the peer does not read: after short sends comes would-block.
    const std::string block(1 << 20, 'b');
    int total = 0;
    int n = 0;
    for (int i = 0; i < 200 && (n = client->Send(block.data(), static_cast<int>(block.size()))) > 0;
         ++i)
        total += n;
    ASSERT_LT(n, 0) << "an unread socket took 200 MiB";
    EXPECT_EQ(client->GetLastError(), WSAEWOULDBLOCK);
    RunFor(30);
    EXPECT_EQ(client->nSend, 0) << "a full socket must not report OnSend";

    // The peer drains: exactly one OnSend, then quiet again.
    accepted->onReceive = [](TestSocket& s, int) { s.ReadAll(); };
    ASSERT_TRUE(RunUntil([&] { return client->nSend > 0; }));
    ASSERT_TRUE(RunUntil([&] { return static_cast<int>(accepted->received.size()) == total; }));
    RunFor(30);
    EXPECT_EQ(client->nSend, 1);
}

TEST_F(AsyncSocketTest, PeerCloseReportedOnceAfterTheData)
{
    ConnectPair();
    std::string order;
    client->onReceive = [&](TestSocket& s, int) {
        order += 'R';
        s.ReadAll();
    };
    client->onClose = [&](TestSocket&, int) { order += 'C'; };
    EXPECT_EQ(accepted->Send("last words", 10), 10);
    accepted.reset(); // closes
    ASSERT_TRUE(RunUntil([&] { return client->nClose > 0; }));
    RunFor(30);
    EXPECT_EQ(client->received, "last words");
    EXPECT_EQ(client->nClose, 1);
    EXPECT_EQ(client->closeError, 0);
    EXPECT_EQ(order.back(), 'C');
}

TEST_F(AsyncSocketTest, HalfCloseLeavesTheWriteSideUsable)
{
    ConnectPair();
    ASSERT_EQ(::shutdown(accepted->GetSocketHandle(), SHUT_WR), 0);
    ASSERT_TRUE(RunUntil([&] { return client->nClose > 0; }));
    EXPECT_EQ(client->closeError, 0);
    accepted->onReceive = [](TestSocket& s, int) { s.ReadAll(); };
    EXPECT_EQ(client->Send("reply", 5), 5);
    ASSERT_TRUE(RunUntil([&] { return accepted->received == "reply"; }));
}

TEST_F(AsyncSocketTest, ResetReportedWithItsError)
{
    ConnectPair();
    linger hard{1, 0};
    ASSERT_TRUE(accepted->SetSockOpt(SO_LINGER, &hard, sizeof hard, SOL_SOCKET));
    accepted.reset();
    ASSERT_TRUE(RunUntil([&] { return client->nClose > 0; }));
    EXPECT_EQ(client->closeError, ECONNRESET);
}

TEST_F(AsyncSocketTest, ConnectFailuresAreReported)
{
    // Refused: reported at once or through OnConnect, never silently.
    TestSocket refused;
    ASSERT_TRUE(refused.Create());
    if (!refused.Connect("127.0.0.1", ClosedPort()) && refused.GetLastError() == WSAEWOULDBLOCK) {
        ASSERT_TRUE(RunUntil([&] { return refused.nConnect > 0; }));
        EXPECT_EQ(refused.connectError, ECONNREFUSED);
    }

    // A name the resolver rejects without asking the network.
    TestSocket unknown;
    ASSERT_TRUE(unknown.Create());
    EXPECT_FALSE(unknown.Connect(std::string(64, 'a') + ".invalid", 80));
    ASSERT_EQ(unknown.GetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(RunUntil([&] { return unknown.nConnect > 0; }));
    EXPECT_NE(unknown.connectError, 0);

    // Ports outside 0..65535 and empty hosts fail at once, with no event later.
    TestSocket bad;
    ASSERT_TRUE(bad.Create());
    EXPECT_FALSE(bad.Connect("127.0.0.1", 65536 + port));
    EXPECT_NE(bad.GetLastError(), WSAEWOULDBLOCK);
    EXPECT_FALSE(bad.Connect("127.0.0.1", -1));
    EXPECT_FALSE(bad.Connect("", port));
    EXPECT_NE(bad.GetLastError(), WSAEWOULDBLOCK);
    RunFor(30);
    EXPECT_EQ(bad.nConnect, 0);
}

TEST_F(AsyncSocketTest, ResolverThatCannotStartFailsTheConnectAtOnce)
{
    ASSERT_FALSE(CNameResolver::Instance().UseServers("no server"));
    TestSocket stranded;
    ASSERT_TRUE(stranded.Create());
    EXPECT_FALSE(stranded.Connect(std::string(64, 'b') + ".invalid", 80));
    EXPECT_FALSE(WouldBlock(stranded.GetLastError())) << "no OnConnect would ever come";
    EXPECT_TRUE(CNameResolver::Instance().UseServers(""));
}

TEST_F(AsyncSocketTest, BindFailureClosesTheSocket)
{
    CAsyncSocket second;
    EXPECT_FALSE(second.Create(port));
    EXPECT_EQ(second.GetLastError(), EADDRINUSE);
    EXPECT_FALSE(second.IsOpen());
}

TEST_F(AsyncSocketTest, SocketDeletedWhileItsLookupIsPendingIsNeverCalledBack)
{
    bool called = false;
    {
        auto pending = std::make_unique<TestSocket>();
        ASSERT_TRUE(pending->Create());
        pending->onConnect = [&](TestSocket&, int) { called = true; };
        EXPECT_FALSE(pending->Connect("localhost", port));
    }
    // Another lookup of the same name finishing shows the first one has had its chance.
    ConnectPair("localhost");
    RunFor(30);
    EXPECT_FALSE(called);
}

TEST_F(AsyncSocketTest, HandlerMayDeleteItsOwnSocket)
{
    ConnectPair();
    TestSocket* raw = accepted.release();
    int calls = 0;
    raw->onReceive = [&](TestSocket& s, int) {
        ++calls;
        delete &s; // more data stays unread: no further event may reach it
    };
    const std::string data(50000, 'd');
    client->SendSome(data);
    ASSERT_TRUE(RunUntil([&] { return calls > 0; }));
    RunFor(30);
    EXPECT_EQ(calls, 1);
    ASSERT_TRUE(RunUntil([&] { return client->nClose > 0; }));
}

TEST_F(AsyncSocketTest, HandlerMayDeleteItsPartnerWithEventsPending)
{
    // Two connections, both with data waiting; the first handler to run deletes both.
    ConnectPair();
    TestSocket* first = accepted.release();
    auto secondClient = std::make_unique<TestSocket>();
    ASSERT_TRUE(secondClient->Create());
    secondClient->Connect("127.0.0.1", port);
    ASSERT_TRUE(RunUntil([&] { return secondClient->nConnect > 0 && accepted; }));
    TestSocket* second = accepted.release();

    int calls = 0;
    auto tearDownBoth = [&](TestSocket&, int) {
        ++calls;
        delete first;
        delete second;
    };
    first->onReceive = tearDownBoth;
    second->onReceive = tearDownBoth;
    first->onClose = tearDownBoth;
    second->onClose = tearDownBoth;
    client->Send("1", 1);
    secondClient->Send("2", 1);
    ASSERT_TRUE(RunUntil([&] { return calls > 0; }));
    RunFor(50);
    EXPECT_EQ(calls, 1);
}

TEST_F(AsyncSocketTest, AsyncSelectWithoutReadPausesReceiving)
{
    ConnectPair();
    accepted->onReceive = [](TestSocket& s, int) { s.ReadAll(); };
    accepted->AsyncSelect(CAsyncSocket::FD_WRITE | CAsyncSocket::FD_CLOSE);
    client->Send("abc", 3);
    RunFor(40);
    EXPECT_EQ(accepted->nReceive, 0);
    accepted->AsyncSelect(CAsyncSocket::kAllEvents);
    ASSERT_TRUE(RunUntil([&] { return accepted->received == "abc"; }));
}

} // namespace

// A due read comes without the kernel's word (only under the loop's own dispatcher): with
// nothing sent, once however often asked, never as an end, and not while reading is paused.
TEST_F(AsyncSocketTest, ReceiveDueDeliversOneReadThatMayFindNothing)
{
    ConnectPair();
    const int due = CEpollSet::Instance().CanDeliverDue() ? 1 : 0;
    accepted->ReceiveDue();
    accepted->ReceiveDue();
    RunFor(30);
    EXPECT_EQ(accepted->nReceive, due);
    EXPECT_EQ(accepted->nClose, 0);
    accepted->AsyncSelect(CAsyncSocket::FD_WRITE | CAsyncSocket::FD_CLOSE);
    accepted->ReceiveDue();
    RunFor(30);
    EXPECT_EQ(accepted->nReceive, due);
}

TEST_F(AsyncSocketTest, SplicePipeGrowsForAStreamOnlyAndKeepsEveryByte)
{
    ConnectPair();
    CSplicePipe pipe; // the accepted end echoes what it gets through the pipe
    ASSERT_TRUE(pipe.Open());
    const std::size_t small = pipe.GetCapacity();
    accepted->onReceive = [&](TestSocket& s, int) { pipe.Fill(s), pipe.Drain(s); };
    accepted->onSend = [&](TestSocket& s, int) { pipe.Drain(s); };
    client->onReceive = [](TestSocket& s, int) { s.ReadAll(); };
    EXPECT_EQ(client->Send("ping", 4), 4);
    ASSERT_TRUE(RunUntil([&] { return client->received == "ping"; }));
    EXPECT_EQ(pipe.GetCapacity(), small);

    std::string stream(4 << 20, '\0');
    for (std::size_t i = 0; i < stream.size(); ++i)
        stream[i] = static_cast<char>(i * 131 >> 9);
    std::size_t sent = 0;
    ASSERT_TRUE(RunUntil([&] {
        sent += static_cast<std::size_t>(client->SendSome(stream.substr(sent, 1 << 16)));
        return client->received.size() == 4 + stream.size();
    }, 60000));
    EXPECT_TRUE(client->received.substr(4) == stream);
    EXPECT_GT(pipe.GetCapacity(), small);
}

TEST_F(AsyncSocketTest, SpliceDrainEmptiesThePipeOrAwaitsOnSend)
{
    // Nothing but the destination's OnSend, or another read, calls Drain again: a drain that
    // leaves bytes in the pipe while the socket could take more strands them at a stream's end.
    // A pipe's slots may hold more than a page each, so a full pipe can hold more than any
    // fixed share one splice would move.
    ConnectPair();
    const int big = 4 << 20;
    ::setsockopt(accepted->GetSocketHandle(), SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    ::setsockopt(client->GetSocketHandle(), SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    accepted->AsyncSelect(CAsyncSocket::FD_WRITE | CAsyncSocket::FD_CLOSE);
    CSplicePipe pipe;
    ASSERT_TRUE(pipe.Open());
    const std::string block(1 << 16, 'k');
    std::size_t sent = 0;
    ASSERT_TRUE(RunUntil([&] {
        sent += static_cast<std::size_t>(client->SendSome(block));
        pipe.Fill(*accepted);
        return pipe.IsFull() || sent >= (16u << 20);
    }, 60000));
    // The client has not read yet; one drain now moves what its window takes.
    client->onReceive = [](TestSocket& s, int) { s.ReadAll(); };
    accepted->onSend = [&](TestSocket& s, int) { pipe.Drain(s); };
    pipe.Drain(*accepted);
    EXPECT_TRUE(pipe.Pending() == 0 || accepted->AwaitsWritable()) << pipe.Pending();
    const std::size_t held = pipe.Pending();
    ASSERT_TRUE(RunUntil([&] {
        if (pipe.Fill(*accepted) > 0) // the rest of what the client sent
            pipe.Drain(*accepted);
        return client->received.size() == sent;
    }, 30000)) << held;
}
