#pragma once
#include "trace/BodyDecoder.h"
#include "http/HttpHead.h"
#include "http/MessageFraming.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What one response's header says about showing its body: the charset its text is in, and,
// when decoding is asked for and the body is compressed, the decoder that turns each chunk of
// the body into the text shown in its record. One per response, kept by its trace entry.
//
// The decoded text is marked "[decoded from gzip]" once at the start of the body; where the
// stream ends, a closing note gives both sizes ("[end of gzip body: 18,204 -> 96,530 bytes]"),
// and a body whose framing ends before its stream does says so ("[gzip stream cut short: ...]").
// A corrupt stream or broken chunked framing stops decoding with a note; a body that decodes
// past its bound is cut ("[decoded text cut at 1,600,000 bytes]"). The chunks after either are
// shown as they came.
class CResponseDecoder {
public:
    // Decoded text per response: at most this many bytes, and at most kMaxRatio times the
    // compressed bytes once past kRatioFloor. Text and markup decode to 3 to 20 times their
    // size; only degenerate bodies (any site can send them) pass 100 times, which would let a
    // few kilobytes take megabytes of memory each. The store bounds all of it together too.
    static constexpr std::uint64_t kMaxDecodedBytes = 16 * 1024 * 1024;
    static constexpr std::uint64_t kMaxRatio = 100;
    static constexpr std::uint64_t kRatioFloor = 256 * 1024;

    // header: the whole response header. decode: the user's switch.
    CResponseDecoder(std::string_view header, bool decode);
    // The same from the head's fields as ParseHttpHead lists them (read by the relay already).
    CResponseDecoder(const std::vector<SHttpHead::SField>& fields, bool decode);
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
    // spare: the most decoded bytes the store may still take.
    std::optional<Shown> TakeBody(std::string_view body, std::uint64_t spare = UINT64_MAX);

    // The response ended (the connection closed, or the next response began): the note for
    // the end of its decoded text when the stream had not ended, else nothing.
    std::string TakeCutShortNote();

    // The decoded text held a NUL: the body is shown as binary from here on, as it came.
    void StopDecoding() { m_state = State::Stopped; }

    // Looks for an HTML <meta> charset in the first KiB of the shown body when the header named
    // none.
    void Prescan(std::string_view shown);
    const std::string& GetCharset() const { return m_strCharset; }

private:
    enum class State { Off, Decoding, Ended, Stopped };

    // The values of the fields read here.
    struct SDecoderFields;
    // What the fields say: the charset, and the decoder when decoding.
    void Start(const SDecoderFields& fields, bool decode);

    std::string SizesText() const;
    void Stop(Shown& shown, const std::string& why);
    std::string CutShortNote() const;
    void Close(Shown& shown, const std::string& note);

    State m_state = State::Off;
    ContentCoding m_coding = ContentCoding::Gzip;
    std::unique_ptr<CBodyDecoder> m_pDecoder;
    std::unique_ptr<CBodyFramer> m_pChunked; // when the body is chunked
    bool m_bMarked = false;
    std::uint64_t m_nEncoded = 0; // compressed bytes given to the decoder
    std::uint64_t m_nDecoded = 0;
    std::optional<std::uint64_t> m_nBodyLength; // Content-Length, when the body is not chunked
    std::uint64_t m_nBodyBytes = 0;             // of the body so far, as framed
    std::string m_strCharset;
    bool m_bPrescan = false;   // no charset in the header and the body may be HTML
    std::string m_strPrescan;  // the body's first bytes, up to a KiB
};

// A byte count with thousands separators: 96,530.
std::string FormatByteCount(std::uint64_t count);
