#include "http/AsciiCase.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

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

