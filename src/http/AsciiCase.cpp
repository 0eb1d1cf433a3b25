#include "http/AsciiCase.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// Eight bytes with their ASCII capitals made small, all in one word.
[[gnu::always_inline]] inline std::uint64_t LowerAsciiWord(std::uint64_t x)
{
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kHigh = 0x8080808080808080;
    const std::uint64_t low7 = x & ~kHigh;
    const std::uint64_t atLeastA = low7 + (0x80 - 'A') * kOnes; // high bit: byte >= 'A'
    const std::uint64_t pastZ = low7 + (0x80 - 'Z' - 1) * kOnes; // high bit: byte > 'Z'
    const std::uint64_t upper = atLeastA & ~pastZ & ~x & kHigh;  // and no byte of 0x80 or more
    return x | (upper >> 2);
}

[[gnu::always_inline]] inline std::uint64_t LoadWord(const char* bytes)
{
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

[[gnu::always_inline]] inline bool EqualWordsNoCase(const char* a, const char* b)
{
    const std::uint64_t x = LoadWord(a);
    const std::uint64_t y = LoadWord(b);
    return x == y || LowerAsciiWord(x) == LowerAsciiWord(y);
}

} // namespace

bool EqualBytesNoCase(const char* a, const char* b, std::size_t n)
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

bool ContainsNoCase(std::string_view text, std::string_view lowerNeedle)
{
    return FindNoCase(text, lowerNeedle) != std::string_view::npos;
}

std::size_t FindNoCase(std::string_view text, std::string_view lowerNeedle)
{
    if (lowerNeedle.empty())
        return 0;
    if (text.size() < lowerNeedle.size())
        return std::string_view::npos;
    const std::size_t last = text.size() - lowerNeedle.size();
    const char tail = lowerNeedle.back();
    if (LowerAscii(tail) == UpperAscii(tail)) {
        // A needle ending in a byte without case (as a field name with its colon): memchr
        // finds the candidates' ends, in the order of their starts.
        const std::size_t back = lowerNeedle.size() - 1;
        std::size_t from = back;
        while (from < text.size()) {
            const void* found = std::memchr(text.data() + from, tail, text.size() - from);
            if (!found)
                break;
            const auto end =
                static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
            if (EqualsNoCase(text.substr(end - back, back), lowerNeedle.substr(0, back)))
                return end - back;
            from = end + 1;
        }
        return std::string_view::npos;
    }
    const char first = lowerNeedle.front();
    // A lower-case letter first: only it and its capital give it with the 0x20 bit set.
    const bool letter = first >= 'a' && first <= 'z';
    for (std::size_t i = 0; i <= last; ++i) {
        const char c = text[i];
        if (letter ? static_cast<char>(c | 0x20) != first : LowerAscii(c) != first)
            continue;
        std::size_t k = 1;
        while (k < lowerNeedle.size() && LowerAscii(text[i + k]) == lowerNeedle[k])
            ++k;
        if (k == lowerNeedle.size())
            return i;
    }
    return std::string_view::npos;
}

