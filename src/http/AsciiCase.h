#pragma once
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

// ASCII case-insensitive comparisons for names, methods and filter words.
bool EqualsNoCase(std::string_view a, std::string_view b);
// Whether text holds needle, which must already be in lower case.
bool ContainsNoCase(std::string_view text, std::string_view lowerNeedle);
// Where text first holds needle (already in lower case), or npos.
std::size_t FindNoCase(std::string_view text, std::string_view lowerNeedle);

// The text without any of the given bytes at either end; by default the blanks (SP, HTAB)
// around a field value or a list item.
std::string_view TrimAscii(std::string_view text, std::string_view bytes = " \t");
