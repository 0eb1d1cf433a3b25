#include <QCoreApplication>
#include <gtest/gtest.h>

// Socket and application tests need the one event loop that drives everything.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
