#include "platform/EpollEventDispatcher.h"

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTemporaryFile>
#include <QTimerEvent>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

// The dispatcher drives a thread of its own here, so each test sees it alone (the program's
// main loop is whatever the test main chose).
namespace {

// Kills its timer from its own event and starts another in its place (which may get the same
// id back); the new one must fire once, in a later pass.
class Relay : public QObject {
public:
    std::string* log = nullptr;
    int first = 0, second = 0;
    void timerEvent(QTimerEvent* event) override
    {
        killTimer(event->timerId());
        *log += event->timerId() == first && second == 0 ? "k" : "K";
        if (second == 0)
            second = startTimer(0);
    }
};

// Runs body on a thread whose loop is a CEpollEventDispatcher; body returns the loop's end.
void RunOnEpollThread(const std::function<void(QEventLoop&)>& body)
{
    std::unique_ptr<QThread> thread(QThread::create([&] {
        QEventLoop loop;
        body(loop);
        loop.exec();
    }));
    thread->setEventDispatcher(new CEpollEventDispatcher);
    thread->start();
    ASSERT_TRUE(thread->wait(10000)) << "the loop never ended";
}

} // namespace

TEST(EpollEventDispatcherTest, TimersFireByDueTimeAndZeroTimersDoNotStarveThem)
{
    std::string log, relayLog; // apart: a loaded machine may run the relay's timers late
    int zeroPasses = 0;
    RunOnEpollThread([&](QEventLoop& loop) {
        auto* zero = new QTimer(&loop);
        QObject::connect(zero, &QTimer::timeout, [&] { ++zeroPasses; });
        zero->start(0);
        // The loop ends once every timer has had its turn, not at a time of its own: a thread
        // started late finds all of them due at once.
        auto* check = new QTimer(&loop);
        QObject::connect(check, &QTimer::timeout, [&] {
            if (log.size() == 3 && relayLog.size() == 2)
                loop.quit();
        });
        for (const auto& [ms, mark] : {std::pair{30, 'c'}, {10, 'a'}, {20, 'b'}})
            QTimer::singleShot(ms, &loop, [&log, mark = mark] { log += mark; });
        auto* relay = new Relay;
        relay->setParent(&loop);
        relay->log = &relayLog;
        relay->first = relay->startTimer(5);
        check->start(40);
    });
    EXPECT_EQ(log, "abc");
    EXPECT_EQ(relayLog, "kK");
    EXPECT_GT(zeroPasses, 0); // it ran, and the others still came
}

TEST(EpollEventDispatcherTest, NotifiersAndEventsPostedFromAnotherThreadWakeTheLoop)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    QTemporaryFile file; // epoll refuses regular files; they are ready on every pass, as in poll
    ASSERT_TRUE(file.open());
    std::string got;
    int fileReady = 0, writable = 0;
    std::atomic<QEventLoop*> running{nullptr};
    std::unique_ptr<QThread> thread(QThread::create([&] {
        QEventLoop loop;
        QSocketNotifier read(pair[0], QSocketNotifier::Read), write(pair[0], QSocketNotifier::Write);
        QSocketNotifier regular(file.handle(), QSocketNotifier::Read);
        QObject::connect(&read, &QSocketNotifier::activated, [&] {
            char buffer[16];
            const ssize_t n = ::read(pair[0], buffer, sizeof buffer);
            got.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
            if (got == "ping" && fileReady == 2)
                loop.quit();
        });
        QObject::connect(&write, &QSocketNotifier::activated, [&] { ++writable, write.setEnabled(false); });
        QObject::connect(&regular, &QSocketNotifier::activated, [&] {
            if (++fileReady == 2) {
                regular.setEnabled(false);
                if (got == "ping")
                    loop.quit();
            }
        });
        running = &loop;
        loop.exec();
    }));
    thread->setEventDispatcher(new CEpollEventDispatcher);
    thread->start();
    while (!running.load()) // bounded by the thread's start-up
        QThread::yieldCurrentThread();
    // Once the regular file has had its two passes nothing else is pending in that loop: only the
    // posted event's wake-up ends its wait, and the data it writes then ends the loop.
    QMetaObject::invokeMethod(running.load(), [&] { (void)::write(pair[1], "ping", 4); },
                              Qt::QueuedConnection);
    ASSERT_TRUE(thread->wait(10000)) << "a posted event or a notifier did not wake the loop";
    EXPECT_EQ(got, "ping");
    EXPECT_EQ(writable, 1);
    EXPECT_EQ(fileReady, 2);
    ::close(pair[0]);
    ::close(pair[1]);
}

// The loop's own posts, from a timer's handler and from a posted call, run without its eventfd:
// the loop must not block in between, as nothing else would end its wait.
TEST(EpollEventDispatcherTest, EventsPostedOnTheLoopsOwnThreadRunWithoutAWait)
{
    std::string log;
    RunOnEpollThread([&](QEventLoop& loop) {
        QTimer::singleShot(5, &loop, [&] {
            log += 't';
            QMetaObject::invokeMethod(&loop, [&] {
                log += 'p';
                QMetaObject::invokeMethod(&loop, [&] { log += 'q', loop.quit(); }, Qt::QueuedConnection);
            }, Qt::QueuedConnection);
        });
    });
    EXPECT_EQ(log, "tpq");
}

TEST(EpollEventDispatcherTest, LoopSignalsReachTheirListenersOnlyWhileConnected)
{
    // The loop skips both signals without listeners: one connected later, or again after
    // another's disconnect, still hears every pass.
    int awake = 0, blocking = 0;
    RunOnEpollThread([&](QEventLoop& loop) {
        auto* dispatcher = QAbstractEventDispatcher::instance();
        QTimer::singleShot(0, &loop, [&, dispatcher] {
            auto first = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [&] { ++awake; });
            QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [&] { ++blocking; });
            QObject::disconnect(first);
            QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [&] { ++awake; });
            QTimer::singleShot(1, &loop, [&] { loop.quit(); });
        });
    });
    EXPECT_GT(awake, 0);
    EXPECT_GT(blocking, 0);
}
