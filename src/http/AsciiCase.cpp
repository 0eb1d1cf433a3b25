#include "http/AsciiCase.h"

#include <algorithm>

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size()
           && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

bool ContainsNoCase(std::string_view text, std::string_view lowerNeedle)
{
    if (lowerNeedle.empty())
        return true;
    if (text.size() < lowerNeedle.size())
        return false;
    const char first = lowerNeedle.front();
    const std::size_t last = text.size() - lowerNeedle.size();
    for (std::size_t i = 0; i <= last; ++i) {
        if (LowerAscii(text[i]) != first)
            continue;
        std::size_t k = 1;
        while (k < lowerNeedle.size() && LowerAscii(text[i + k]) == lowerNeedle[k])
            ++k;
        if (k == lowerNeedle.size())
            return true;
    }
    return false;
}

std::string_view TrimAscii(std::string_view text, std::string_view bytes)
{
    const std::size_t first = text.find_first_not_of(bytes);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(bytes) - first + 1);
}
