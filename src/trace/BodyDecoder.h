#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

// The content codings a response body can be decoded from for display.
enum class ContentCoding { Gzip, Deflate, Brotli, Zstd };

// Name of a coding as it is written in Content-Encoding ("gzip", "deflate", "br", "zstd").
std::string_view ContentCodingName(ContentCoding coding);

// One streaming decompressor for the body of one response, fed the compressed bytes as they
// arrive, in pieces cut anywhere. Each step adds at most `room` decoded bytes to its output, so
// the caller bounds what a hostile stream can make; the decoder's own memory is bounded too
// (zstd windows over 16 MiB are refused; brotli and zlib windows are at most 16 MiB and 32 KiB).
class CBodyDecoder {
public:
    enum class Status {
        More,    // all input taken, the stream goes on
        End,     // the stream ended; `used` says how much of the input it took
        Corrupt, // the input is not a valid stream
        Full,    // `room` was reached with decoded bytes still to come
    };
    struct Step {
        Status status = Status::More;
        std::size_t used = 0; // input bytes consumed
    };

    static std::unique_ptr<CBodyDecoder> Create(ContentCoding coding);
    virtual ~CBodyDecoder() = default;

    virtual Step Decode(std::string_view input, std::string& output, std::size_t room) = 0;
};
