#include "session/BodyCompression.h"

#include <zstd.h>

namespace {
// Fast enough for the writer thread to keep up with a busy relay; most of what text shrinks by
// comes at the low levels.
constexpr int kLevel = 3;
// Too small to gain anything once the frame header is counted.
constexpr std::size_t kSmallest = 64;
} // namespace

bool BodyCompression::Compress(std::string_view bytes, std::string& packed)
{
    if (bytes.size() < kSmallest)
        return false;
    packed.resize(ZSTD_compressBound(bytes.size()));
    const std::size_t size =
        ZSTD_compress(packed.data(), packed.size(), bytes.data(), bytes.size(), kLevel);
    if (ZSTD_isError(size) || size >= bytes.size())
        return false;
    packed.resize(size);
    return true;
}

bool BodyCompression::Decompress(std::string_view packed, std::size_t size, std::string& bytes)
{
    // The frame must say its size, and say the one expected: nothing unpacks to more than that.
    if (ZSTD_getFrameContentSize(packed.data(), packed.size()) != size)
        return false;
    bytes.resize(size);
    const std::size_t made = ZSTD_decompress(bytes.data(), size, packed.data(), packed.size());
    return !ZSTD_isError(made) && made == size;
}
