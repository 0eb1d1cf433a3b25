#include "platform/EpollEventDispatcher.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <csignal>

// Socket and application tests need the one event loop that drives everything: the headless
// program's own (one epoll set), or Qt's with KESTRUNE_TEST_EVENT_LOOP=qt, as the window runs.
int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN); // as the program does: a peer's end ends a connection
    if (qgetenv("KESTRUNE_TEST_EVENT_LOOP") != "qt")
        QCoreApplication::setEventDispatcher(new CEpollEventDispatcher);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
