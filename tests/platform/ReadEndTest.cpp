#include "platform/AsyncSocket.h"
#include "support/EventLoopWait.h"
#include "support/TestSocket.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <memory>
#include <string>

// The end of a stream found by the handler's own read (no look-ahead is made for it) is still
// reported once through OnClose, with the error when the read failed.
namespace {

class ReadEndTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        listener = std::make_unique<TestSocket>();
        ASSERT_TRUE(listener->Create(0, CAsyncSocket::FD_ACCEPT));
        ASSERT_TRUE(listener->Listen(5));
        listener->onAccept = [this](TestSocket& l, int) {
            auto s = std::make_unique<TestSocket>();
            if (l.Accept(*s)) {
                s->AsyncSelect(CAsyncSocket::kAllEvents);
                accepted = std::move(s);
            }
        };
        client = std::make_unique<TestSocket>();
        ASSERT_TRUE(client->Create());
        EXPECT_FALSE(client->Connect("127.0.0.1", listener->GetLocalPort()));
        ASSERT_TRUE(RunUntil([&] { return client->nConnect > 0 && accepted; }));
    }

    void TearDown() override
    {
        accepted.reset();
        client.reset();
        listener.reset();
        FlushDeferredDeletes();
    }

    std::unique_ptr<TestSocket> listener, accepted, client;
};

} // namespace

TEST_F(ReadEndTest, EndReadByTheHandlerIsReportedOnceAfterIt)
{
    int lastRead = 1;
    client->onReceive = [&](TestSocket& s, int) { lastRead = s.ReadAll(); };
    ASSERT_EQ(accepted->Send("bye", 3), 3);
    ASSERT_EQ(::shutdown(accepted->GetSocketHandle(), SHUT_WR), 0);
    ASSERT_TRUE(RunUntil([&] { return client->nClose > 0; }));
    RunFor(30);
    EXPECT_EQ(client->received, "bye");
    EXPECT_EQ(lastRead, 0) << "the handler itself saw the end";
    EXPECT_EQ(client->nClose, 1);
    EXPECT_EQ(client->closeError, 0);
    const int receives = client->nReceive;
    RunFor(30);
    EXPECT_EQ(client->nReceive, receives) << "no readiness after the end";

    // The write side still works after the peer's half-close.
    accepted->onReceive = [](TestSocket& s, int) { s.ReadAll(); };
    EXPECT_EQ(client->Send("ok", 2), 2);
    ASSERT_TRUE(RunUntil([&] { return accepted->received == "ok"; }));
}

TEST_F(ReadEndTest, ResetReadByTheHandlerIsReportedWithItsError)
{
    int lastError = 0;
    client->onReceive = [&](TestSocket& s, int) {
        if (s.ReadAll() < 0)
            lastError = s.GetLastError();
    };
    linger hard{1, 0};
    ASSERT_TRUE(accepted->SetSockOpt(SO_LINGER, &hard, sizeof hard, SOL_SOCKET));
    accepted.reset();
    ASSERT_TRUE(RunUntil([&] { return client->nClose > 0; }));
    RunFor(30);
    EXPECT_EQ(lastError, ECONNRESET);
    EXPECT_EQ(client->nClose, 1);
    EXPECT_EQ(client->closeError, ECONNRESET);
}

TEST_F(ReadEndTest, HandlerThatClosesOnTheEndGetsNoFurtherEvent)
{
    client->onReceive = [](TestSocket& s, int) {
        if (s.ReadAll() == 0)
            s.Close();
    };
    accepted.reset();
    ASSERT_TRUE(RunUntil([&] { return !client->IsOpen(); }));
    RunFor(30);
    EXPECT_EQ(client->nClose, 0);
}

// Bytes and the end arriving together, read one Receive per readiness with buffers shorter
// than, equal to and longer than what is there: every byte comes before the end, the end is
// reported once, and a Receive after it returns 0.
TEST_F(ReadEndTest, EndBehindTheLastBytesComesAfterAllOfThem)
{
    const std::string data = "twelve bytes";
    for (const int size : {1, 11, 12, 13, 8096}) {
        SCOPED_TRACE(size);
        std::string got;
        int closeAt = -1;
        client->onReceive = [&](TestSocket& s, int) {
            std::string buffer(static_cast<std::size_t>(size), '\0');
            const int n = s.Receive(buffer.data(), size);
            if (n > 0)
                got.append(buffer, 0, static_cast<std::size_t>(n));
        };
        client->onClose = [&](TestSocket&, int) { closeAt = static_cast<int>(got.size()); };
        ASSERT_EQ(accepted->Send(data.data(), static_cast<int>(data.size())), 12);
        ASSERT_EQ(::shutdown(accepted->GetSocketHandle(), SHUT_WR), 0);
        ASSERT_TRUE(RunUntil([&] { return client->nClose > 0; }));
        RunFor(20);
        EXPECT_EQ(got, data);
        EXPECT_EQ(closeAt, 12);
        EXPECT_EQ(client->nClose, 1);
        char byte;
        EXPECT_EQ(client->Receive(&byte, 1), 0);
        TearDown();
        SetUp();
    }
}
