#include "trace/TraceRecord.h"

#include <gtest/gtest.h>

#include <climits>

TEST(FormatMilliseconds, SecondsWithThreeDecimals)
{
    EXPECT_EQ(FormatMilliseconds(0), "0.000");
    EXPECT_EQ(FormatMilliseconds(5), "0.005");
    EXPECT_EQ(FormatMilliseconds(45), "0.045");
    EXPECT_EQ(FormatMilliseconds(345), "0.345");
    EXPECT_EQ(FormatMilliseconds(999), "0.999");
    EXPECT_EQ(FormatMilliseconds(1000), "1.000");
    EXPECT_EQ(FormatMilliseconds(1234), "1.234");
    EXPECT_EQ(FormatMilliseconds(3000), "3.000");
    EXPECT_EQ(FormatMilliseconds(128000), "128.000");
    EXPECT_EQ(FormatMilliseconds(INT_MAX), "2147483.647"); // one separator only
}

TEST(FormatMilliseconds, NegativeTimesKeepTheirSign)
{
    EXPECT_EQ(FormatMilliseconds(-5), "-0.005");
    EXPECT_EQ(FormatMilliseconds(-345), "-0.345");
    EXPECT_EQ(FormatMilliseconds(-1234), "-1.234");
    EXPECT_EQ(FormatMilliseconds(INT_MIN), "-2147483.648");
}
