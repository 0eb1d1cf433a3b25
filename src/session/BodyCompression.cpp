#include "session/BodyCompression.h"

#include <zstd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {
// Fast enough for the writer thread to keep up with a busy relay; most of what text shrinks by
// comes at the low levels.
constexpr int kLevel = 3;
// Too small to gain anything once the frame header is counted.
constexpr std::size_t kSmallest = 64;
// What is looked at to tell bytes that will not shrink (images, archives, bodies already
// compressed), which zstd would spend the most time on for nothing. A small body gets a small
// sample: the check runs for every body the writer sees, and a few hundred bytes tell random
// from text as well (their count of 512 puts random bytes near 7.6 bits, text near 5).
constexpr std::size_t kSampleBytes = 4096;
constexpr std::size_t kSmallSampleBytes = 512;
constexpr std::size_t kLargeBody = 16384;
constexpr double kMaxBitsPerByte = 7.5;
// A first look at the body's start, far cheaper than the entropy (a bit per byte value): 128
// random bytes hold about 101 distinct values (a few apart), text 30 to 60, base64 at most 64.
// Many distinct values mark bytes that will not shrink; few mark bytes that will, with no need
// for the entropy; those between are sampled in full. A compressible body that starts this
// varied is stored as it is: room lost, nothing else.
constexpr std::size_t kGlanceBytes = 128;
constexpr int kVariedGlance = 88;
constexpr int kPlainGlance = 48;

// c * log2(c) for every count a sample can have, made once: the entropy of a small body then
// costs a count and a sum, not a logarithm per byte value (the writer does this per body).
const std::array<double, kSampleBytes + 1>& CountBits()
{
    static const auto table = [] {
        std::array<double, kSampleBytes + 1> bits{};
        for (std::size_t c = 1; c < bits.size(); ++c)
            bits[c] = static_cast<double>(c) * std::log2(static_cast<double>(c));
        return bits;
    }();
    return table;
}

// Bits per byte of the sample's byte frequencies: near 8 for random or compressed bytes.
// With n bytes and counts c: log2(n) - sum(c * log2(c)) / n.
double SampleEntropy(std::string_view bytes)
{
    const std::string_view sample =
        bytes.substr(0, bytes.size() < kLargeBody ? kSmallSampleBytes : kSampleBytes);
    std::array<std::uint16_t, 256> counts{};
    for (const char c : sample)
        ++counts[static_cast<unsigned char>(c)];
    // Four sums side by side: with one, each addition waits on the one before (the writer does
    // this for every body it sees).
    const auto& table = CountBits();
    std::array<double, 4> sums{};
    for (std::size_t i = 0; i < counts.size(); i += sums.size()) {
        for (std::size_t k = 0; k < sums.size(); ++k)
            sums[k] += table[counts[i + k]];
    }
    const double sum = (sums[0] + sums[1]) + (sums[2] + sums[3]);
    const double n = static_cast<double>(sample.size());
    return std::log2(n) - sum / n;
}

// Distinct byte values among the first kGlanceBytes: a flag byte per value, then the flags
// added eight at a time (fewer instructions than setting bits, which the writer pays per body).
int GlanceValues(std::string_view bytes)
{
    std::array<unsigned char, 256> seen{};
    const std::size_t n = bytes.size() < kGlanceBytes ? bytes.size() : kGlanceBytes;
    for (std::size_t i = 0; i < n; ++i)
        seen[static_cast<unsigned char>(bytes[i])] = 1;
    // Each lane of the sum counts at most 32 flags, and all lanes at most kGlanceBytes: no carry
    // leaves a lane, and the total fits the top one.
    static_assert(kGlanceBytes < 256);
    std::uint64_t lanes = 0;
    for (std::size_t i = 0; i < seen.size(); i += sizeof(std::uint64_t)) {
        std::uint64_t word;
        std::memcpy(&word, seen.data() + i, sizeof(word));
        lanes += word;
    }
    return static_cast<int>((lanes * 0x0101010101010101ull) >> 56);
}

// Whether the body is worth handing to zstd.
bool LooksCompressible(std::string_view bytes)
{
    const int values = GlanceValues(bytes);
    if (values >= kVariedGlance)
        return false;
    // A large body is sampled whatever its start: zstd would spend long on a plain header
    // followed by compressed bytes.
    if (values < kPlainGlance && bytes.size() < kLargeBody)
        return true;
    return SampleEntropy(bytes) <= kMaxBitsPerByte;
}

// One context per thread, kept: making one per body costs more than a small body's compression.
ZSTD_CCtx* ThreadContext()
{
    struct SFree {
        void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
    };
    thread_local std::unique_ptr<ZSTD_CCtx, SFree> context(ZSTD_createCCtx());
    return context.get();
}
} // namespace

bool BodyCompression::Compress(std::string_view bytes, std::string& packed)
{
    if (bytes.size() < kSmallest || !LooksCompressible(bytes))
        return false;
    ZSTD_CCtx* context = ThreadContext();
    if (!context)
        return false;
    packed.resize(ZSTD_compressBound(bytes.size()));
    const std::size_t size = ZSTD_compressCCtx(context, packed.data(), packed.size(), bytes.data(),
                                               bytes.size(), kLevel);
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
