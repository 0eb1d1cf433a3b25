#pragma once
#include <cstdint>
#include <string>
#include <string_view>

class CExchange;

// A body of an exchange as its content reads: the chunked transfer coding taken off and, for a
// response, one content coding (gzip, deflate, br, zstd) undone.
struct SExchangeContent {
    std::string bytes;
    bool complete = false; // the whole body was kept and every coding came off
    bool decoded = false;  // a content coding was undone
};

// The request body without its transfer coding.
SExchangeContent RequestContent(const CExchange& exchange);
// The response body decoded, at most `limit` bytes of it: past that (or a corrupt stream, or
// a coding not known here) the content is the body as it came, only its chunking taken off.
SExchangeContent ResponseContent(const CExchange& exchange, std::uint64_t limit);

// Whether bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsUtf8(std::string_view bytes);
