#include "platform/LocalAddress.h"

#include <gtest/gtest.h>

TEST(LocalAddress, TellsThisMachineWithoutALookup)
{
    for (const char* local : {"localhost", "LocalHost.", "a.localhost", "127.0.0.1", "127.9.8.7",
                              "0.0.0.0", "::1", "[::1]", "::"})
        EXPECT_TRUE(IsLocalAddress(local)) << local;
    for (const char* other : {"", "example.invalid", "localhost.example", "192.0.2.1", "2001:db8::1",
                              "127.0.0.1:80", "notlocalhost"})
        EXPECT_FALSE(IsLocalAddress(other)) << other;
}
