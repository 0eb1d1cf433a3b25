#include <QCoreApplication>
#include <gtest/gtest.h>

#include <csignal>

// Socket and application tests need the one event loop that drives everything.
int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN); // as the program does: a peer's end ends a connection
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
