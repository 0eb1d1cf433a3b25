#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

// Case changes of ASCII letters only: bytes of other code pages stay as they are.
inline char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string LowerAscii(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        c = LowerAscii(c);
    return lower;
}

inline char UpperAscii(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string UpperAscii(std::string_view text)
{
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

// Eight bytes with their ASCII capitals made small, all in one word.
inline std::uint64_t LowerAsciiWord(std::uint64_t x)
{
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kHigh = 0x8080808080808080;
    const std::uint64_t low7 = x & ~kHigh;
    const std::uint64_t atLeastA = low7 + (0x80 - 'A') * kOnes; // high bit: byte >= 'A'
    const std::uint64_t pastZ = low7 + (0x80 - 'Z' - 1) * kOnes; // high bit: byte > 'Z'
    const std::uint64_t upper = atLeastA & ~pastZ & ~x & kHigh;  // and no byte of 0x80 or more
    return x | (upper >> 2);
}

// Whether the eight bytes at a and at b are equal, ASCII case ignored.
inline bool EqualWordsNoCase(const char* a, const char* b)
{
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    return x == y || LowerAsciiWord(x) == LowerAsciiWord(y);
}

// Whether two runs of n bytes are equal, ASCII case ignored. Inline: against a name known at
// compile time, its half of the work is done then.
inline bool EqualBytesNoCase(const char* a, const char* b, std::size_t n)
{
    if (n < 8) {
        for (std::size_t i = 0; i < n; ++i) {
            if (a[i] != b[i] && LowerAscii(a[i]) != LowerAscii(b[i]))
                return false;
        }
        return true;
    }
    // A word at a time (every field name of every head is matched here); the last word ends
    // at the last byte, over bytes already matched.
    for (std::size_t i = 0; i + 8 < n; i += 8) {
        if (!EqualWordsNoCase(a + i, b + i))
            return false;
    }
    return EqualWordsNoCase(a + n - 8, b + n - 8);
}

// ASCII case-insensitive comparisons for names, methods and filter words. Inline: most field
// names checked against a known one differ in length already.
inline bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && EqualBytesNoCase(a.data(), b.data(), a.size());
}
// Whether text holds needle, which must already be in lower case.
bool ContainsNoCase(std::string_view text, std::string_view lowerNeedle);
// Where text first holds needle (already in lower case), or npos.
std::size_t FindNoCase(std::string_view text, std::string_view lowerNeedle);

// The text without any of the given bytes at either end; by default the blanks (SP, HTAB)
// around a field value or a list item.
inline std::string_view TrimAscii(std::string_view text, std::string_view bytes = " \t")
{
    // By hand: the sets are two or three bytes, and every field value of every head is trimmed.
    const auto trimmed = [bytes](char c) {
        for (const char b : bytes) {
            if (b == c)
                return true;
        }
        return false;
    };
    std::size_t first = 0;
    std::size_t end = text.size();
    while (first < end && trimmed(text[first]))
        ++first;
    while (end > first && trimmed(text[end - 1]))
        --end;
    return text.substr(first, end - first);
}
