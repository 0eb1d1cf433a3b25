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

TEST(EqualsNoCase, MatchesOnlyAsciiLettersOfEitherCaseAtEveryPlaceOfAWord)
{
    // Names are matched eight bytes at a time: a case change or a byte that only differs in
    // the case bit (@ and `, [ and {, - and CR, 0xC1 and 0xE1) at any place of any length.
    for (std::size_t size = 1; size <= 20; ++size) {
        const std::string name = std::string("content-length-type").substr(0, size - 1) + "z";
        for (std::size_t i = 0; i < size; ++i) {
            std::string other = name;
            other[i] = UpperAscii(other[i]);
            EXPECT_EQ(EqualsNoCase(other, name), true) << other;
            for (const auto& [mine, theirs] : {std::pair{'@', '`'}, {'[', '{'}, {'-', '\r'}, {'\xC1', '\xE1'}}) {
                std::string a = name, b = name;
                a[i] = mine;
                b[i] = theirs;
                EXPECT_FALSE(EqualsNoCase(a, b)) << size << " at " << i;
                EXPECT_TRUE(EqualsNoCase(a, a));
            }
        }
    }
}
