#include "http/AsciiCase.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

// The needle's first place in the text, whichever search runs (a caseless last byte takes
// the memchr one): the same as lower-casing the text and finding it there.
TEST(FindNoCase, AgreesWithASearchOfTheLowerCasedText)
{
    const std::string texts[] = {
        "HTTP/1.1 200 OK\r\nX-Content-Type: a\r\nContent-Type: text/html\r\n\r\n",
        "content-type:", "Content-Type :x\r\nCONTENT-TYPE:y", "ontent-type:", ":::", "",
        "IMAGE/png", "a\0Content-Type:\0"s,
    };
    const std::string needles[] = {"content-type:", ":", "image", "e:", "type:", "\0c"s};
    for (const std::string& text : texts) {
        for (const std::string& needle : needles) {
            SCOPED_TRACE(text + " / " + needle);
            EXPECT_EQ(FindNoCase(text, needle), LowerAscii(text).find(needle));
            EXPECT_EQ(ContainsNoCase(text, needle), LowerAscii(text).find(needle) != std::string::npos);
        }
    }
}

TEST(TrimAscii, DropsOnlyTheGivenBytesAtEitherEnd)
{
    EXPECT_EQ(TrimAscii(" \t a b \t "), "a b");
    EXPECT_EQ(TrimAscii(" \t "), "");
    EXPECT_EQ(TrimAscii(""), "");
    EXPECT_EQ(TrimAscii("\r x\r", " \t\r"), "x");
    EXPECT_EQ(TrimAscii("\rx\r"), "\rx\r");
}
