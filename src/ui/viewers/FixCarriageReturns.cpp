#include "ui/viewers/FixCarriageReturns.h"

#include <cstddef>

std::string FixCarriageReturns(std::string_view text)
{
    std::size_t added = 0;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            ++added;

    std::string fixed;
    fixed.reserve(text.size() + added);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            fixed.push_back('\r');
        fixed.push_back(text[i]);
    }
    return fixed;
}
