#include "http/HeaderFunctions.h"

#include "http/FieldLine.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {
constexpr char CR = '\r';
constexpr char LF = '\n';
} // namespace

std::size_t HeaderEndOffset(std::string_view buffer, std::size_t from)
{
    // Back up over the CRs and LFs just before the resume point: a header end may straddle it.
    std::size_t start = from < buffer.size() ? from : buffer.size();
    while (start > 0 && (buffer[start - 1] == CR || buffer[start - 1] == LF))
        --start;

    // The end is an LF whose line held only CRs after an earlier LF. Heads are read several
    // times per request, so the search runs from LF to LF rather than byte by byte.
    const char* const data = buffer.data();
    const std::size_t size = buffer.size();
    std::size_t i = start;
    // The LFs of 16 bytes at a time, each looked behind in turn.
    const auto endsAfter = [data, size](std::size_t lf) {
        std::size_t k = lf + 1;
        while (k < size && data[k] == CR)
            ++k;
        return k < size && data[k] == LF ? k + 1 : 0;
    };
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8(LF);
    for (; i + 16 <= size; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        for (auto lfs = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, lf))); lfs != 0;
             lfs &= lfs - 1) {
            if (const std::size_t end = endsAfter(i + static_cast<std::size_t>(__builtin_ctz(lfs))))
                return end;
        }
    }
#endif
    while (i < size) {
        const void* found = std::memchr(data + i, LF, size - i);
        if (!found)
            return 0;
        i = static_cast<std::size_t>(static_cast<const char*>(found) - data) + 1;
        while (i < size && data[i] == CR)
            ++i;
        if (i < size && data[i] == LF)
            return i + 1;
    }
    return 0;
}

std::size_t LineBreakOffset(std::string_view text, std::size_t from)
{
    return FindLineBreak(text, from);
}

bool IsHeaderComplete(const std::string& buffer)
{
    return HeaderEndOffset(buffer) != 0;
}

bool SplitHeaderLines(std::string& buffer, std::vector<std::string>& lines)
{
    lines.clear();
    const std::size_t size = buffer.size();
    std::string line;
    // The last byte never starts a step: a line end needs the byte after it to decide.
    for (std::size_t i = 0; i + 1 < size; ++i) {
        line.push_back(buffer[i]);
        if (buffer[i] != LF || i == 0 || buffer[i - 1] != CR)
            continue;
        if (buffer[i + 1] == CR) {
            line.push_back(CR);
            ++i;
        }
        // After the optional CR, i + 1 may be the end: no byte there, so no header end.
        if (i + 1 < size && buffer[i + 1] == LF) {
            line.push_back(LF);
            ++i;
            buffer.erase(0, i + 1);
            lines.push_back(std::move(line));
            return true;
        }
        lines.push_back(std::move(line));
        line.clear();
    }
    return false;
}

std::string JoinLines(const std::vector<std::string>& lines)
{
    std::size_t total = 0;
    for (const std::string& line : lines)
        total += line.size();
    std::string text;
    text.reserve(total);
    for (const std::string& line : lines)
        text += line;
    return text;
}

void TerminateHeader(std::string& text)
{
    if (text.empty())
        return;
    std::size_t keep = text.size();
    while (keep > 1 && (text[keep - 1] == CR || text[keep - 1] == LF))
        --keep;
    text.resize(keep);
    text += "\r\n\r\n";
}

int Tokenize(std::string_view text, std::string_view delimiters, std::vector<std::string>& tokens)
{
    tokens.clear();
    // Cut by ranges, each token made at once; the delimiter sets are a few bytes.
    const auto isDelimiter = [delimiters](char c) {
        for (const char d : delimiters) {
            if (d == c)
                return true;
        }
        return false;
    };
    const std::size_t lineEnd = std::min(text.find(LF), text.size());
    std::size_t i = 0;
    while (i < lineEnd) {
        while (i < lineEnd && isDelimiter(text[i]))
            ++i;
        const std::size_t start = i;
        while (i < lineEnd && !isDelimiter(text[i]))
            ++i;
        if (i > start)
            tokens.emplace_back(text.substr(start, i - start));
    }
    return tokens.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX
                                                             : static_cast<int>(tokens.size());
}

int AtoiText(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate as a magnitude in 64 bits and stop growing once past the int range.
    constexpr std::int64_t limit = static_cast<std::int64_t>(INT_MAX) + 1;
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value <= limit)
            value = value * 10 + (text[i] - '0');
    }
    if (negative)
        return value >= limit ? INT_MIN : static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}
