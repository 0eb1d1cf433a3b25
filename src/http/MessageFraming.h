#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "http/HttpHead.h"

// Where HTTP/1.x messages end on a byte stream, without sockets: what a header says about the
// body that follows it, and a body framer fed the bytes after the header that says how many of
// them still belong to the body. The relay keeps every byte as it came; these only count.

enum class EBodyKind {
    None,       // no body: the next message starts right after the header
    Length,     // Content-Length bytes
    Chunked,    // chunked transfer coding, trailers included
    UntilClose, // the body ends when the sender closes
    Tunnel,     // from here on both directions pass unframed (101, an accepted CONNECT)
    Interim,    // a 1xx response: another response header follows
    Invalid,    // framing that cannot be trusted
};

struct CBodyFraming {
    EBodyKind kind = EBodyKind::None;
    std::uint64_t length = 0;  // for Length
    bool keepAlive = true;     // the sender may go on using the connection afterwards
    bool untrusted = false;    // framing fields were there but could not be trusted
};

// The body of the request whose complete header (through its blank line) is given.
// Invalid for a Content-Length that is not a number, two different lengths, a
// Transfer-Encoding whose last coding is not chunked, or both fields together.
CBodyFraming RequestFraming(std::string_view header);
// The same for a header whose field lines RequestHeadFault has passed already (not read again).
CBodyFraming CheckedRequestFraming(std::string_view header);
// RequestHeadFault (into fault) and the framing of a head without one, in one pass; Invalid
// with a fault.
CBodyFraming ReadRequestHead(std::string_view header, const char*& fault);

// The body of the response whose complete header is given, to a request made with the given
// method. Text that is no status line is relayed until the server closes; so is a response
// whose framing cannot be trusted.
CBodyFraming ResponseFraming(std::string_view header, std::string_view requestMethod);

// A complete response head read once for all who look into it: the relay's framing and the
// trace's fields. The views point into the head's bytes; `fields` keeps its memory from one
// head to the next.
struct SResponseHead {
    std::size_t size = 0;                  // the header's bytes, through its blank line
    int status = -1;                       // the status line's code (the line to its LF, a CR cut)
    CBodyFraming framing;                  // as ResponseFraming gives it
    std::vector<SHttpHead::SField> fields; // as ParseHttpHead lists them
};
// ResponseFraming and ParseHttpHead's fields of a complete header, in one pass over its lines.
// Without withFields the fields are left empty (no one reads them: the framing is all).
void ReadResponseHead(std::string_view header, std::string_view requestMethod, SResponseHead& out,
                      bool withFields = true);
// The same on bytes that may go on past the head (its body behind it): the head's end, where
// HeaderEndOffset finds it, is found in the same pass. Returns that end (out.size); 0 when the
// bytes hold no complete head, and out is then of no use.
std::size_t ReadResponseHeadIn(std::string_view bytes, std::string_view requestMethod,
                               SResponseHead& out, bool withFields = true);

// The first CR LF terminated line of a header, as the header-splitting function cuts it
// (a one-line header keeps its blank line); empty when the header holds no such line.
std::string FirstHeaderLine(std::string_view header);
// The same line, in the header's own bytes.
std::string_view FirstHeaderLineView(std::string_view header);

// True when the header-splitting function finds the end of this complete header (it ends in
// CR LF CR LF or CR LF LF): only then is the end normalised to CR LF CR LF.
bool HasCrLfHeaderEnd(std::string_view header);

// Counts a message body on the bytes that follow its header.
class CBodyFramer {
public:
    // Longest chunk-size line (size, blanks, extensions) and trailer line taken.
    static constexpr std::size_t kMaxLineBytes = 4096;

    // lenient: a chunk line may end in a bare LF (accepted from servers, not from browsers).
    // holdLines: Consume stops before a chunk-size, chunk-end or trailer line that has not
    // ended yet, and before a line found bad, so that the caller passes on only lines known
    // good; it feeds the held bytes again, with more behind them, once more have arrived.
    void Start(const CBodyFraming& framing, bool lenient, bool holdLines = false);
    // How many of the bytes belong to the body; the rest start the next message (or, with
    // holdLines, are an unfinished line). Stops early when the body is complete or the framing
    // fails. The body's content (the chunks' data without their framing; all of any other
    // body) is appended to `content` when one is given.
    std::size_t Consume(std::string_view bytes, std::string* content = nullptr);
    bool IsDone() const { return m_eStep == EStep::Done; }
    bool HasFailed() const { return m_eStep == EStep::Failed; }
    bool IsUntilClose() const { return m_eStep == EStep::UntilClose; }

private:
    enum class EStep {
        Done, Failed, UntilClose, Length,
        ChunkSize, ChunkSizeSpace, ChunkExtension, ChunkSizeLf,
        ChunkData, ChunkDataCr, ChunkDataLf,
        TrailerLineStart, TrailerLine, TrailerLineLf, TrailerEndLf,
    };
    // What a line held back returns to.
    struct SLineStart {
        EStep step = EStep::Done;
        std::uint64_t left = 0;
        std::size_t trailerBytes = 0;
    };
    // One byte of a chunk line or trailer.
    void Step(char c);
    // The line ends here (at a CR, or at a bare LF where that is allowed).
    void EndLine(char c, EStep afterCr, EStep afterLf);
    // Between lines, or inside data: every byte consumed so far is known good.
    bool AtSafePoint() const;

    EStep m_eStep = EStep::Done;
    std::uint64_t m_nLeft = 0;       // bytes left of the body or of the current chunk
    std::size_t m_nSizeDigits = 0;
    std::size_t m_nLineBytes = 0; // of the current chunk-size or trailer line
    std::size_t m_nTrailerBytes = 0;
    bool m_bLenient = false;
    bool m_bHoldLines = false;
};
