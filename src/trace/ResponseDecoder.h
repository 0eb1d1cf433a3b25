#pragma once
#include "trace/BodyDecoder.h"
#include "http/MessageFraming.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// What one response's header says about showing its body: the charset its text is in, and,
// when decoding is asked for and the body is compressed, the decoder that turns each chunk of
// the body into the text shown in its record. One per response, kept by its trace entry.
//
// The decoded text is marked "[decoded from gzip]" once at the start of the body; where the
// stream ends, a closing note gives both sizes ("[end of gzip body: 18,204 -> 96,530 bytes]").
// A corrupt stream, broken chunked framing or a body that decodes to more than the bound stops
// decoding with a note, and the chunks after it are shown as they came.
class CResponseDecoder {
public:
    // Decoded text per response: at most this many bytes, and at most kMaxRatio times the
    // compressed bytes once past kRatioFloor. Real pages of repeated markup reach a few hundred
    // times; gzip and deflate cannot pass about 1032 times, brotli and zstd can.
    static constexpr std::uint64_t kMaxDecodedBytes = 16 * 1024 * 1024;
    static constexpr std::uint64_t kMaxRatio = 1000;
    static constexpr std::uint64_t kRatioFloor = 1024 * 1024;

    // header: the whole response header. decode: the user's switch.
    CResponseDecoder(std::string_view header, bool decode);
    ~CResponseDecoder();

    // The display text of one chunk's body bytes while decoding goes on; nothing when the
    // chunk is shown as it came. The text is the marker (at the start of the body), the decoded
    // bytes [decodedBegin, decodedEnd) and a closing note (where decoding ends), in one string
    // so that the record can take it without a copy.
    struct Shown {
        std::string text;
        std::size_t decodedBegin = 0;
        std::size_t decodedEnd = 0;
        bool closed = false; // decoding ended or stopped in this chunk
    };
    std::optional<Shown> TakeBody(std::string_view body);

    // The decoded text held a NUL: the body is shown as binary from here on, as it came.
    void StopDecoding() { m_state = State::Stopped; }

    // Looks for an HTML <meta> charset in the first KiB of the shown body when the header named
    // none.
    void Prescan(std::string_view shown);
    const std::string& GetCharset() const { return m_strCharset; }

private:
    enum class State { Off, Decoding, Ended, Stopped };

    std::string SizesText() const;
    void Stop(Shown& shown, const std::string& why);
    void Close(Shown& shown, const std::string& note);

    State m_state = State::Off;
    ContentCoding m_coding = ContentCoding::Gzip;
    std::unique_ptr<CBodyDecoder> m_pDecoder;
    std::unique_ptr<CBodyFramer> m_pChunked; // when the body is chunked
    bool m_bMarked = false;
    std::uint64_t m_nEncoded = 0; // compressed bytes given to the decoder
    std::uint64_t m_nDecoded = 0;
    std::string m_strCharset;
    bool m_bPrescan = false;   // no charset in the header and the body may be HTML
    std::string m_strPrescan;  // the body's first bytes, up to a KiB
};

// A byte count with thousands separators: 96,530.
std::string FormatByteCount(std::uint64_t count);
