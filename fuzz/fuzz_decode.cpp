// The input is a response body in one of the codings, with or without chunked framing, cut into
// pieces where the input says, with as much room in the store as the input says. Decoding must
// never crash, never make more than its bounds, and once stopped or ended must leave later
// pieces alone.
#include "trace/ResponseDecoder.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    static const char* const kCodings[] = {"gzip", "deflate", "br", "zstd"};
    const std::string header = std::string("HTTP/1.1 200 OK\r\nContent-Encoding: ")
                               + kCodings[data[0] & 3]
                               + ((data[0] & 4) ? "\r\nTransfer-Encoding: chunked" : "") + "\r\n\r\n";
    const std::size_t piece = 1 + data[1] % 97;
    const std::string_view body(reinterpret_cast<const char*>(data + 2), size - 2);

    CResponseDecoder decoder(header, true);
    std::uint64_t decoded = 0;
    std::uint64_t spare = (data[0] & 8) ? std::uint64_t{4096} * (data[0] >> 4) : UINT64_MAX;
    bool finished = false;
    for (std::size_t at = 0; at < body.size(); at += piece) {
        const auto shown = decoder.TakeBody(body.substr(at, piece), spare);
        if (!shown) {
            finished = true;
            continue;
        }
        const std::size_t made = shown->decodedEnd - shown->decodedBegin;
        if (finished && !shown->text.empty())
            std::abort(); // decoding came back after it had stopped
        if (shown->decodedBegin > shown->decodedEnd || shown->decodedEnd > shown->text.size())
            std::abort();
        decoded += made;
        const std::uint64_t given = std::min(body.size(), at + piece);
        if (decoded > CResponseDecoder::kMaxDecodedBytes || made > spare
            || decoded
                   > std::max(CResponseDecoder::kRatioFloor, given * CResponseDecoder::kMaxRatio))
            std::abort();
        if (spare != UINT64_MAX)
            spare -= made;
        if (shown->closed)
            finished = true;
        decoder.Prescan(shown->text);
    }
    return 0;
}
