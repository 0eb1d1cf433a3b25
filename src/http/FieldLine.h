#pragma once
#include <array>
#include <cstddef>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The bytes of one field line, read where every head's every line passes: inline, 16 bytes at
// a time where the machine allows.

// The token characters (RFC 9110's tchar), looked up rather than compared one by one: every
// field name of every head passes here.
inline constexpr std::array<bool, 256> kTokenChars = [] {
    std::array<bool, 256> table{};
    for (int c = '0'; c <= '9'; ++c)
        table[static_cast<std::size_t>(c)] = true;
    for (int c = 'A'; c <= 'Z'; ++c)
        table[static_cast<std::size_t>(c)] = table[static_cast<std::size_t>(c - 'A' + 'a')] = true;
    for (const char c : std::string_view("-_.!~*+#$%&^`|'"))
        table[static_cast<unsigned char>(c)] = true;
    return table;
}();

// Where the first CR or LF at or after from is; npos for none.
inline std::size_t FindLineBreak(std::string_view text, std::size_t from)
{
    const char* const data = text.data();
    const std::size_t size = text.size();
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    for (; i + 16 <= size; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const int hits = _mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(block, cr), _mm_cmpeq_epi8(block, lf)));
        if (hits != 0)
            return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
    }
#endif
    for (; i < size; ++i) {
        if (data[i] == '\r' || data[i] == '\n')
            return i;
    }
    return std::string_view::npos;
}

// Where the run of token characters at the start of text ends. Most names are letters, digits
// and '-' only: those are passed 16 at a time, the rest one by one.
inline std::size_t TokenRunEnd(std::string_view text)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i caseBit = _mm_set1_epi8(0x20);
    const __m128i beforeA = _mm_set1_epi8('a' - 1);
    const __m128i afterZ = _mm_set1_epi8('z' + 1);
    const __m128i before0 = _mm_set1_epi8('0' - 1);
    const __m128i after9 = _mm_set1_epi8('9' + 1);
    const __m128i dash = _mm_set1_epi8('-');
    for (; i + 16 <= text.size(); i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
        const __m128i lower = _mm_or_si128(block, caseBit);
        // Signed compares: bytes of 0x80 and more are below every bound.
        const __m128i letter =
            _mm_and_si128(_mm_cmpgt_epi8(lower, beforeA), _mm_cmplt_epi8(lower, afterZ));
        const __m128i digit =
            _mm_and_si128(_mm_cmpgt_epi8(block, before0), _mm_cmplt_epi8(block, after9));
        const int plain = _mm_movemask_epi8(
            _mm_or_si128(_mm_or_si128(letter, digit), _mm_cmpeq_epi8(block, dash)));
        if (plain != 0xFFFF) {
            i += static_cast<std::size_t>(__builtin_ctz(~static_cast<unsigned>(plain)));
            break;
        }
    }
#endif
    while (i < text.size() && kTokenChars[static_cast<unsigned char>(text[i])])
        ++i;
    return i;
}

// The usual field line at the start of text, through its end: a token name, its colon, a value
// without CR or LF, then CR LF. Its length (LF included), with colon at the colon and valueEnd
// at the CR; 0 for any other line, which the line-by-line readers take apart. Such a line is
// without fault and reads the same by every rule here.
inline std::size_t PlainFieldLine(std::string_view text, std::size_t& colon, std::size_t& valueEnd)
{
    const std::size_t i = TokenRunEnd(text);
    if (i == 0 || i == text.size() || text[i] != ':')
        return 0;
    const std::size_t end = FindLineBreak(text, i + 1);
    if (end == std::string_view::npos || text[end] != '\r' || end + 1 == text.size()
        || text[end + 1] != '\n')
        return 0;
    colon = i;
    valueEnd = end;
    return end + 2;
}

