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

// Whether two runs of n bytes are equal, ASCII case ignored.
bool EqualBytesNoCase(const char* a, const char* b, std::size_t n);

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
