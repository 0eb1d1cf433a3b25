#include "platform/MessageBox.h"
#include "platform/Ticks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
std::uint32_t g_fakeTick = 0;
std::uint32_t FakeTick() { return g_fakeTick; }
}

TEST(Ticks, FakeSourceReplacesAndRestores)
{
    SetTickSource(&FakeTick);
    g_fakeTick = 0xFFFFFFF0u;
    EXPECT_EQ(GetTickMs(), 0xFFFFFFF0u);
    g_fakeTick += 0x20; // wraps like the 32-bit millisecond counter
    EXPECT_EQ(GetTickMs(), 0x10u);
    SetTickSource(nullptr);
    const std::uint32_t a = GetTickMs();
    const std::uint32_t b = GetTickMs();
    EXPECT_LE(static_cast<std::uint32_t>(b - a), 1000u);
}

TEST(MessageBox, HandlerCapturesTextsAndIsRestored)
{
    std::vector<std::string> seen;
    MessageHandler previous = SetMessageHandler([&](const std::string& t) { seen.push_back(t); });
    ShowMessageBox(std::string("with\0nul", 8));
    SetMessageHandler(previous);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], std::string("with\0nul", 8));
}
