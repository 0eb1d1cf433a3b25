#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// Bodies in a session file: zstd when that saves room, else as they came.
namespace BodyCompression {
// True, with the frame in `packed`, when compressing makes the bytes smaller.
bool Compress(std::string_view bytes, std::string& packed);
// The original bytes of a frame that must unpack to exactly `size` bytes; false for a damaged
// frame or any other size.
bool Decompress(std::string_view packed, std::size_t size, std::string& bytes);
} // namespace BodyCompression
