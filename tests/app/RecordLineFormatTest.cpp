#include "app/RecordLineFormat.h"

#include <gtest/gtest.h>

TEST(RecordLineFormat, JsonStringKeepsUtf8AndEscapesEveryOtherByte)
{
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain \"q\" \\ /", "plain \\\"q\\\" \\\\ /"},
        {std::string("\0\x01\x1f\x7f", 4), "\\u0000\\u0001\\u001f\\u007f"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xe9t\xe9", "\\u00e9t\\u00e9"},                      // Latin-1 text
        {"\xc0\x80", "\\u00c0\\u0080"},                        // overlong NUL
        {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},             // a surrogate
        {"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},  // above U+10FFFF
        {"\xe2\x82", "\\u00e2\\u0082"},                        // cut short at the end
        {"\xc3(", "\\u00c3("},                                 // lead byte without its follower
        {"\x80\xbf\xfe\xff", "\\u0080\\u00bf\\u00fe\\u00ff"},
    };
    for (const auto& c : cases) {
        std::string out;
        AppendJsonStringBody(out, c.in);
        EXPECT_EQ(out, c.out) << c.in;
    }
}
