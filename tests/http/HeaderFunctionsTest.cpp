#include "http/HeaderFunctions.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <string_view>
#include <vector>

using namespace std::string_literals;

namespace {
using Lines = std::vector<std::string>;

// Longer than the short-string buffer, so the string owns a heap block of exactly its size
// (plus the terminator) and ASan sees a read beyond it.
const std::string kRequestLine = "GET http://server1/a HTTP/1.1\r\n";
} // namespace

TEST(HeaderComplete, EndsAtTwoLineFeedsWithOnlyCarriageReturnsBetween)
{
    struct Case {
        std::string buffer;
        std::size_t end;
    } cases[] = {
        {"", 0},
        {"\n", 0},
        {"\n\n", 2},
        {"A\n\n", 3},
        {"A\r\n\r\n", 5},
        {"A\r\n\n", 4},
        {"A\n\r\n", 4},
        {"A\r\n\r\r\r\n", 7},
        {"A\r\nB\r\n", 0},
        {"A\r\n \r\n", 0},          // a blank is not a blank line
        {"A\r\n\r", 0},
        {"A\r\n\0\r\n"s, 0},        // nor is a NUL
        {"A\r\n\r\nbody\r\n\r\n", 5}, // the first end counts
        {kRequestLine + "Host: server1\r\n\r\n", kRequestLine.size() + 17},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buffer);
        EXPECT_EQ(HeaderEndOffset(c.buffer), c.end);
        EXPECT_EQ(IsHeaderComplete(c.buffer), c.end != 0);
    }
}

TEST(HeaderComplete, ResumedScanAgreesWithFullScanForEveryArrivalPattern)
{
    const std::string texts[] = {
        kRequestLine + "Host: a\r\n\r\nbody",
        kRequestLine + "Host: a\n\r\r\nbody",
        kRequestLine + "Host: a\r\r\r\r\n\r\r\nbody",
        "\r\n\r\n"s,
        "\n\n"s,
    };
    for (const std::string& text : texts) {
        for (std::size_t step = 1; step <= 5; ++step) {
            SCOPED_TRACE(text + " step " + std::to_string(step));
            std::string buffer;
            std::size_t found = 0;
            for (std::size_t pos = 0; pos < text.size() && found == 0; pos += step) {
                const std::size_t before = buffer.size();
                buffer += text.substr(pos, step);
                found = HeaderEndOffset(buffer, before);
                EXPECT_EQ(found, HeaderEndOffset(buffer));
            }
            EXPECT_EQ(found, HeaderEndOffset(text));
        }
    }
    EXPECT_EQ(HeaderEndOffset("A\r\n\r\n", 99), 5u); // a resume point past the end is clamped
}

TEST(SplitHeaderLines, OneLineHeaderKeepsItsBlankLine)
{
    std::string buffer = kRequestLine + "\r\n";
    Lines lines{"stale"};
    ASSERT_TRUE(SplitHeaderLines(buffer, lines));
    EXPECT_EQ(lines, Lines{kRequestLine + "\r\n"});
    EXPECT_TRUE(buffer.empty());
}

TEST(SplitHeaderLines, RemovesExactlyTheHeaderAndLeavesTheBody)
{
    std::string buffer = kRequestLine + "Host: a\r\nAccept: */*\r\n\r\n" + "B\0DY\r\n\r\n"s;
    Lines lines;
    ASSERT_TRUE(SplitHeaderLines(buffer, lines));
    EXPECT_EQ(lines, (Lines{kRequestLine, "Host: a\r\n", "Accept: */*\r\n\r\n"}));
    EXPECT_EQ(buffer, "B\0DY\r\n\r\n"s);
    EXPECT_EQ(JoinLines(lines), kRequestLine + "Host: a\r\nAccept: */*\r\n\r\n");
}

TEST(SplitHeaderLines, CrLfLfEndsTheHeaderEvenAsTheLastByte)
{
    std::string buffer = kRequestLine + "Host: a\r\n\n";
    Lines lines;
    ASSERT_TRUE(SplitHeaderLines(buffer, lines));
    EXPECT_EQ(lines, (Lines{kRequestLine, "Host: a\r\n\n"}));
    EXPECT_TRUE(buffer.empty());

    buffer = kRequestLine + "Host: a\r\n\r\n"; // the final LF is the last byte
    ASSERT_TRUE(SplitHeaderLines(buffer, lines));
    EXPECT_EQ(lines, (Lines{kRequestLine, "Host: a\r\n\r\n"}));
    EXPECT_TRUE(buffer.empty());
}

TEST(SplitHeaderLines, BareLineFeedsEndNoLine)
{
    const std::string header = "GET http://server1/ HTTP/1.0\nHost: a\n\n";
    std::string buffer = header;
    Lines lines{"stale"};
    EXPECT_TRUE(IsHeaderComplete(buffer));
    EXPECT_FALSE(SplitHeaderLines(buffer, lines));
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(buffer, header);
}

TEST(SplitHeaderLines, LfCrLfIsCompleteButNotSplit)
{
    // The two functions disagree here; HeaderEndOffset still says where the header ends.
    const std::string header = kRequestLine + "Host: a\n\r\nbody";
    std::string buffer = header;
    Lines lines;
    EXPECT_EQ(HeaderEndOffset(buffer), kRequestLine.size() + 10);
    EXPECT_FALSE(SplitHeaderLines(buffer, lines));
    EXPECT_EQ(lines, (Lines{kRequestLine, "Host: a\n\r\n"}));
    EXPECT_EQ(buffer, header);
}

TEST(SplitHeaderLines, IncompleteEndsAtTheLastByteReadNothingBeyond)
{
    struct Case {
        std::string buffer;
        Lines lines;
    } cases[] = {
        // The CR after CR LF is the last byte: the look-ahead for the LF finds no byte.
        {kRequestLine + "Host: a\r\n\r", {kRequestLine, "Host: a\r\n\r"}},
        // A line end in the last position is never cut: the byte after it is unknown.
        {kRequestLine + "Host: a\r\n", {kRequestLine}},
        {kRequestLine + "Host: a\r\n\rX", {kRequestLine, "Host: a\r\n\r"}},
        {"\r\n"s, {}},
        {"\n"s, {}},
        {""s, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buffer);
        std::string buffer = c.buffer;
        Lines lines;
        EXPECT_FALSE(SplitHeaderLines(buffer, lines));
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(buffer, c.buffer);
    }
}

TEST(JoinLines, ConcatenatesInOrder)
{
    EXPECT_EQ(JoinLines({}), "");
    EXPECT_EQ(JoinLines({"a\r\n", "", "b\0\r\n"s}), "a\r\nb\0\r\n"s);
}

TEST(TerminateHeader, ReplacesTheTrailingLineEndsButNeverTheFirstByte)
{
    struct Case {
        std::string text;
        std::string result;
    } cases[] = {
        {"", ""},
        {"A", "A\r\n\r\n"},
        {"A\r\n\n", "A\r\n\r\n"},
        {"A\r\n\r\n", "A\r\n\r\n"},
        {"A\n\r\r\n\n\r", "A\r\n\r\n"},
        {"\r\n", "\r\r\n\r\n"},
        {"\n\n\n", "\n\r\n\r\n"},
        {"A\0\r\n"s, "A\0\r\n\r\n"s},
        {"A\r\nB: c \r\n\n", "A\r\nB: c \r\n\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        TerminateHeader(text);
        EXPECT_EQ(text, c.result);
    }
}

TEST(Tokenize, DropsEmptyTokensAndStopsAtTheFirstLineFeed)
{
    struct Case {
        std::string text;
        std::string delimiters;
        Lines tokens;
    } cases[] = {
        {"", " ", {}},
        {"   ", " ", {}},
        {" a  b\r\r c ", " \r\n", {"a", "b", "c"}},
        {"GET / HTTP/1.0\r\n\r\n", " \r\n", {"GET", "/", "HTTP/1.0"}},
        {"a b\nc d", " ", {"a", "b"}},
        {"a b\n", "", {"a b"}},
        {"\nabc", " ", {}},
        {"::host::8010:", ":", {"host", "8010"}},
        {"a\0b c"s, " ", {"a\0b"s, "c"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Lines tokens{"stale"};
        EXPECT_EQ(Tokenize(c.text, c.delimiters, tokens), static_cast<int>(c.tokens.size()));
        EXPECT_EQ(tokens, c.tokens);
    }
}

TEST(AtoiText, FollowsAtoiAndClampsOutOfRange)
{
    struct Case {
        std::string text;
        int value;
    } cases[] = {
        {"8010", 8010},
        {" 80", 80},
        {"\t\r\n\v\f 80", 80},
        {"+80", 80},
        {"-1", -1},
        {"80abc", 80},
        {"8 0", 8},
        {"abc", 0},
        {"", 0},
        {"+", 0},
        {"- 1", 0},
        {"0x1F", 0},
        {"00080", 80},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"99999999999999", INT_MAX},
        {"-99999999999999999999999999999", INT_MIN},
        {"80\0" "90"s, 80},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(AtoiText(c.text), c.value);
    }
}

TEST(HeaderComplete, EndsAndLineBreaksAreFoundAtEveryPlaceOfABlock)
{
    // Heads are searched 16 bytes at a time: an end or a line break on either side of a block's
    // edge, and one that only starts in a block, are found where a byte by byte search finds them.
    const auto slowEnd = [](std::string_view text) -> std::size_t {
        for (std::size_t lf = text.find('\n'); lf != std::string_view::npos; lf = text.find('\n', lf + 1)) {
            std::size_t k = lf + 1;
            while (k < text.size() && text[k] == '\r')
                ++k;
            if (k < text.size() && text[k] == '\n')
                return k + 1;
        }
        return 0;
    };
    for (const std::string end : {"\r\n\r\n", "\n\n", "\r\n\r\r\n", "\n\r\n", "\r\n\rx\n", "\r\r"}) {
        for (std::size_t pad = 0; pad <= 40; ++pad) {
            const std::string text = "GET / HTTP/1.1\r\nX: " + std::string(pad, 'x') + end + "tail";
            EXPECT_EQ(HeaderEndOffset(text), slowEnd(text)) << pad << " " << end.size();
            EXPECT_EQ(LineBreakOffset(text, 19), text.find_first_of("\r\n", 19)) << pad;
        }
    }
}
