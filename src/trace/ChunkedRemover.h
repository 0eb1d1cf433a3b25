#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// Takes the chunked transfer coding off a response body for display, across pieces cut
// anywhere: chunk sizes, extensions, line ends and trailers go, the chunks' data stays.
class CChunkedRemover {
public:
    enum class Status { More, End, Broken };

    // Appends the data carried by `input` to output. After End or Broken, input is ignored.
    Status Remove(std::string_view input, std::string& output);

private:
    enum class State { Size, Extension, SizeEnd, Data, DataEnd, Trailer, TrailerLine, End, Broken };

    Status Fail();

    State m_state = State::Size;
    std::uint64_t m_nRemaining = 0; // data bytes left in the current chunk, or the size being read
    int m_nDigits = 0;
    int m_nLineBytes = 0; // bytes of the current size or trailer line, which are bounded
    bool m_bSawCR = false;
};
