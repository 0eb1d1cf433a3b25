#include "http/MessageFraming.h"

#include "http/AsciiCase.h"
#include "http/HttpHead.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char CR = '\r';
constexpr char LF = '\n';
// Longer lengths than this are no lengths a relay can honour (and would overflow).
constexpr std::size_t kMaxLengthDigits = 18;
constexpr std::size_t kMaxChunkSizeDigits = 15;
constexpr std::size_t kMaxTrailerBytes = 1 << 20;

std::string_view Trim(std::string_view text) { return TrimAscii(text); }

// Calls f on each trimmed, non-empty element of a comma-separated list.
template <typename F> void ForEachListItem(std::string_view value, F f)
{
    while (!value.empty()) {
        const std::size_t comma = value.find(',');
        const std::string_view item = Trim(value.substr(0, comma));
        if (!item.empty())
            f(item);
        value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    }
}

// What the framing fields of a header say.
struct CFraming {
    bool invalid = false;
    bool hasLength = false;
    std::uint64_t length = 0;
    bool hasCoding = false;
    bool lastIsChunked = false;
    bool close = false;
    bool keepAlive = false;

    void AddLengthItem(std::string_view item)
    {
        std::uint64_t n = 0;
        const bool digits = item.size() <= kMaxLengthDigits
            && std::all_of(item.begin(), item.end(), [](char c) { return c >= '0' && c <= '9'; });
        for (const char c : item)
            n = n * 10 + static_cast<std::uint64_t>(c - '0');
        if (!digits || (hasLength && n != length))
            invalid = true;
        hasLength = true;
        length = n;
    }

    void AddLength(std::string_view value)
    {
        // The usual value is one number: a list of one item, with nothing to cut or trim.
        if (!value.empty() && value.size() <= kMaxLengthDigits
            && std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            AddLengthItem(value);
            return;
        }
        bool any = false;
        ForEachListItem(value, [this, &any](std::string_view item) {
            any = true;
            AddLengthItem(item);
        });
        // An empty value, or nothing but commas, is no length at all.
        if (!any)
            invalid = true;
    }

    void AddCodings(std::string_view value)
    {
        hasCoding = true;
        lastIsChunked = false;
        ForEachListItem(value, [this](std::string_view item) {
            lastIsChunked = EqualsNoCase(item, "chunked");
        });
    }

    void AddConnection(std::string_view value)
    {
        // The usual values are one option alone, a list of one item as it stands.
        if (EqualsNoCase(value, "keep-alive")) {
            keepAlive = true;
            return;
        }
        if (EqualsNoCase(value, "close")) {
            close = true;
            return;
        }
        ForEachListItem(value, [this](std::string_view item) {
            close = close || EqualsNoCase(item, "close");
            keepAlive = keepAlive || EqualsNoCase(item, "keep-alive");
        });
    }

    bool IsFramingField(std::string_view name) const
    {
        return EqualsNoCase(name, "content-length") || EqualsNoCase(name, "transfer-encoding");
    }

    // The same for a name known to be a token, so without blanks around it; the value is
    // trimmed here, only for the fields that frame.
    void AddTokenField(std::string_view name, std::string_view value)
    {
        switch (name.size()) { // most names are none of these by their length alone
        case 14:
            if (EqualsNoCase(name, "content-length"))
                AddLength(Trim(value));
            break;
        case 17:
            if (EqualsNoCase(name, "transfer-encoding"))
                AddCodings(Trim(value));
            break;
        case 10:
        case 16:
            if (EqualsNoCase(name, "connection") || EqualsNoCase(name, "proxy-connection"))
                AddConnection(Trim(value));
            break;
        default:
            break;
        }
    }

    void AddField(std::string_view name, std::string_view value)
    {
        const std::string_view trimmed = Trim(name);
        if (trimmed.size() != name.size()) {
            // "Content-Length :" is read by some servers and not by others: no framing.
            invalid = invalid || IsFramingField(trimmed);
            return;
        }
        if (EqualsNoCase(name, "content-length"))
            AddLength(value);
        else if (EqualsNoCase(name, "transfer-encoding"))
            AddCodings(value);
        else if (EqualsNoCase(name, "connection") || EqualsNoCase(name, "proxy-connection"))
            AddConnection(value);
    }
};

bool NamesFramingField(std::string_view line)
{
    return ContainsNoCase(line, "content-length") || ContainsNoCase(line, "transfer-encoding");
}

// fields: when given, also gets each field as ParseHttpHead lists it (a line with a colon
// after its first byte; name and value without blanks and CRs around them). headEnd: when
// given, gets the offset past the blank line's LF (HeaderEndOffset's end), 0 without one.
CFraming ScanFields(std::string_view header, bool linesChecked = false,
                    std::vector<SHttpHead::SField>* fields = nullptr,
                    std::size_t* headEnd = nullptr)
{
    CFraming framing;
    std::size_t pos = header.find(LF);
    std::string_view lastName;
    while (pos != std::string_view::npos && ++pos < header.size()) {
        std::size_t colon = 0;
        std::size_t valueEnd = 0;
        if (const std::size_t plain = PlainFieldLine(header.substr(pos), colon, valueEnd)) {
            // The usual line, read in one pass: no fault, nothing around the name to trim, no
            // CR in the value.
            lastName = header.substr(pos, colon);
            const std::string_view value = header.substr(pos + colon + 1, valueEnd - colon - 1);
            if (fields)
                fields->push_back({lastName, Trim(value)});
            framing.AddTokenField(lastName, value);
            pos += plain - 1; // at its LF
            continue;
        }
        const std::size_t eol = header.find(LF, pos);
        std::string_view line = header.substr(pos, eol == std::string_view::npos ? eol : eol - pos);
        pos = eol;
        if (!line.empty() && line.back() == CR)
            line.remove_suffix(1);
        if (line.find_first_not_of(CR) == std::string_view::npos) {
            if (headEnd && eol != std::string_view::npos)
                *headEnd = eol + 1;
            break; // the blank line
        }
        const EFieldLineFault fault =
            linesChecked ? (colon = line.find(':'), EFieldLineFault::None) : FieldLineFault(line, colon);
        if (fields) {
            // These faults are found before the colon is looked for.
            const bool looked = fault != EFieldLineFault::BareCr && fault != EFieldLineFault::Whitespace;
            const std::size_t at = looked ? colon : line.find(':');
            if (at != std::string_view::npos && at != 0)
                fields->push_back({TrimAscii(line.substr(0, at), " \t\r"),
                                   TrimAscii(line.substr(at + 1), " \t\r")});
        }
        if (fault == EFieldLineFault::Whitespace) {
            // A folded line continues the field before it; a folded length is no length.
            framing.invalid = framing.invalid || framing.IsFramingField(lastName);
        }
        if (fault != EFieldLineFault::None) {
            // Readers differ on such a line (one splits at a bare CR, one takes "Content-Length
            // :", one ends the head there): framing fields in it are trusted by none.
            framing.invalid = framing.invalid || NamesFramingField(line);
            if (fault == EFieldLineFault::NoColon)
                lastName = {};
            if (fault != EFieldLineFault::BadName)
                continue;
        }
        lastName = line.substr(0, colon);
        framing.AddField(lastName, Trim(line.substr(colon + 1)));
    }
    return framing;
}

// The status code of the head's status line, or -1 when it has none.
int StatusCode(std::string_view header, bool& http10)
{
    std::string_view line = header.substr(0, header.find(LF));
    if (!line.empty() && line.back() == CR)
        line.remove_suffix(1);
    http10 = line.starts_with("HTTP/1.0 ");
    return ParseStatusCode(line);
}

} // namespace

CBodyFraming RequestFraming(std::string_view header)
{
    if (RequestHeadFault(header)) {
        CBodyFraming result;
        result.kind = EBodyKind::Invalid;
        return result;
    }
    return CheckedRequestFraming(header);
}

namespace {

CBodyFraming RequestFramingOf(const CFraming& fields)
{
    CBodyFraming result;
    if (fields.invalid || (fields.hasCoding && (fields.hasLength || !fields.lastIsChunked))) {
        result.kind = EBodyKind::Invalid;
    } else if (fields.hasCoding) {
        result.kind = EBodyKind::Chunked;
    } else if (fields.hasLength && fields.length > 0) {
        result.kind = EBodyKind::Length;
        result.length = fields.length;
    }
    return result;
}

} // namespace

CBodyFraming CheckedRequestFraming(std::string_view header)
{
    return RequestFramingOf(ScanFields(header, true));
}

CBodyFraming ReadRequestHead(std::string_view header, const char*& fault)
{
    CFraming fields;
    // Lines without fault have token names: nothing to trim around them.
    fault = RequestHeadFault(header, [](void* context, std::string_view name, std::string_view value) {
        static_cast<CFraming*>(context)->AddTokenField(name, value);
    }, &fields);
    if (fault)
        return CBodyFraming{EBodyKind::Invalid, 0, true, false};
    return RequestFramingOf(fields);
}

namespace {

// What a response with that status line and these framing fields frames.
CBodyFraming FramingOf(int status, bool http10, const CFraming& fields, std::string_view requestMethod)
{
    CBodyFraming result;
    if (status < 0) {
        result.kind = EBodyKind::UntilClose;
        result.keepAlive = false;
        return result;
    }
    result.keepAlive = !fields.close && (!http10 || fields.keepAlive);
    if (status == 101) {
        result.kind = EBodyKind::Tunnel;
    } else if (status >= 100 && status < 200) {
        result.kind = EBodyKind::Interim;
    } else if (EqualsNoCase(requestMethod, "connect") && status >= 200 && status < 300) {
        result.kind = EBodyKind::Tunnel;
    } else if (EqualsNoCase(requestMethod, "head") || status == 204 || status == 304) {
        result.kind = EBodyKind::None;
    } else if (fields.invalid || (fields.hasCoding && (http10 || !fields.lastIsChunked))) {
        // An HTTP/1.0 sender knows no transfer codings: whatever it says, its body is read
        // until it closes.
        result.kind = EBodyKind::UntilClose;
        result.untrusted = true;
    } else if (fields.hasCoding) {
        result.kind = EBodyKind::Chunked;
    } else if (fields.hasLength) {
        result.kind = fields.length > 0 ? EBodyKind::Length : EBodyKind::None;
        result.length = fields.length;
    } else {
        result.kind = EBodyKind::UntilClose;
    }
    if (result.kind == EBodyKind::UntilClose)
        result.keepAlive = false;
    return result;
}

} // namespace

CBodyFraming ResponseFraming(std::string_view header, std::string_view requestMethod)
{
    bool http10 = false;
    const int status = StatusCode(header, http10);
    // Text that is no status line frames nothing: its fields are not read.
    return FramingOf(status, http10, status < 0 ? CFraming() : ScanFields(header), requestMethod);
}

void ReadResponseHead(std::string_view header, std::string_view requestMethod, SResponseHead& out,
                      bool withFields)
{
    bool http10 = false;
    const int status = StatusCode(header, http10);
    out.size = header.size();
    out.status = status;
    out.fields.clear();
    const CFraming fields = ScanFields(header, false, withFields ? &out.fields : nullptr);
    out.framing = FramingOf(status, http10, fields, requestMethod);
}

std::size_t ReadResponseHeadIn(std::string_view bytes, std::string_view requestMethod,
                               SResponseHead& out, bool withFields)
{
    bool http10 = false;
    const int status = StatusCode(bytes, http10);
    out.status = status;
    out.fields.clear();
    std::size_t end = 0;
    const CFraming fields = ScanFields(bytes, false, withFields ? &out.fields : nullptr, &end);
    out.size = end;
    out.framing = FramingOf(status, http10, fields, requestMethod);
    return end;
}

std::string FirstHeaderLine(std::string_view header)
{
    return std::string(FirstHeaderLineView(header));
}

std::string_view FirstHeaderLineView(std::string_view header)
{
    for (std::size_t i = 1; i + 1 < header.size(); ++i) {
        // From LF to LF: the line is read whole at every request.
        const void* lf = std::memchr(header.data() + i, LF, header.size() - 1 - i);
        if (!lf)
            break;
        i = static_cast<std::size_t>(static_cast<const char*>(lf) - header.data());
        if (header[i - 1] != CR)
            continue;
        std::size_t end = i + 1;
        if (header[end] == CR)
            ++end;
        if (end < header.size() && header[end] == LF)
            ++end;
        return header.substr(0, end);
    }
    return {};
}

bool HasCrLfHeaderEnd(std::string_view header)
{
    const auto endsWith = [header](std::string_view tail) {
        return header.size() >= tail.size() && header.substr(header.size() - tail.size()) == tail;
    };
    return endsWith("\r\n\r\n") || endsWith("\r\n\n");
}

void CBodyFramer::Start(const CBodyFraming& framing, bool lenient, bool holdLines)
{
    m_bLenient = lenient;
    m_bHoldLines = holdLines;
    m_nLeft = 0;
    m_nSizeDigits = 0;
    m_nLineBytes = 0;
    m_nTrailerBytes = 0;
    switch (framing.kind) {
    case EBodyKind::Length:
        m_nLeft = framing.length;
        m_eStep = m_nLeft > 0 ? EStep::Length : EStep::Done;
        break;
    case EBodyKind::Chunked:
        m_eStep = EStep::ChunkSize;
        break;
    case EBodyKind::UntilClose:
    case EBodyKind::Tunnel:
        m_eStep = EStep::UntilClose;
        break;
    case EBodyKind::Invalid:
        m_eStep = EStep::Failed;
        break;
    case EBodyKind::None:
    case EBodyKind::Interim:
        m_eStep = EStep::Done;
        break;
    }
}

bool CBodyFramer::AtSafePoint() const
{
    switch (m_eStep) {
    case EStep::Done:
    case EStep::UntilClose:
    case EStep::Length:
    case EStep::ChunkData:
    case EStep::ChunkDataCr:
    case EStep::TrailerLineStart:
        return true;
    case EStep::ChunkSize:
        return m_nSizeDigits == 0;
    default:
        return false;
    }
}

std::size_t CBodyFramer::Consume(std::string_view bytes, std::string* content)
{
    std::size_t i = 0;
    std::size_t safe = 0; // bytes consumed up to the last point between lines
    SLineStart line{m_eStep, m_nLeft, m_nTrailerBytes};
    bool more = true;
    while (more && i < bytes.size()) {
        switch (m_eStep) {
        case EStep::Done:
        case EStep::Failed:
            more = false;
            break;
        case EStep::UntilClose:
            if (content)
                content->append(bytes.substr(i));
            i = bytes.size();
            break;
        case EStep::Length:
        case EStep::ChunkData: {
            const std::uint64_t take = std::min<std::uint64_t>(m_nLeft, bytes.size() - i);
            if (content)
                content->append(bytes.substr(i, static_cast<std::size_t>(take)));
            i += static_cast<std::size_t>(take);
            m_nLeft -= take;
            if (m_nLeft == 0)
                m_eStep = m_eStep == EStep::Length ? EStep::Done : EStep::ChunkDataCr;
            break;
        }
        default:
            Step(bytes[i]);
            if (m_eStep == EStep::Failed)
                more = false;
            else
                ++i;
            break;
        }
        if (more && AtSafePoint()) {
            safe = i;
            line = {m_eStep, m_nLeft, m_nTrailerBytes};
        }
    }
    if (!m_bHoldLines || AtSafePoint())
        return i;
    if (m_eStep != EStep::Failed) {
        // The line goes on in bytes not here yet: it is read again from its start then.
        m_eStep = line.step;
        m_nLeft = line.left;
        m_nTrailerBytes = line.trailerBytes;
        m_nSizeDigits = 0;
        m_nLineBytes = 0;
    }
    return safe;
}

void CBodyFramer::EndLine(char c, EStep afterCr, EStep afterLf)
{
    if (c == CR)
        m_eStep = afterCr;
    else if (c == LF && m_bLenient)
        m_eStep = afterLf;
    else
        m_eStep = EStep::Failed;
}

void CBodyFramer::Step(char c)
{
    if (AtSafePoint())
        m_nLineBytes = 0; // a new line starts
    if (++m_nLineBytes > kMaxLineBytes) {
        m_eStep = EStep::Failed; // no line grows without end, not even one that is skipped
        return;
    }
    const EStep afterSize = m_nLeft > 0 ? EStep::ChunkData : EStep::TrailerLineStart;
    switch (m_eStep) {
    case EStep::ChunkSize: {
        const char lower = LowerAscii(c);
        const bool hex = (c >= '0' && c <= '9') || (lower >= 'a' && lower <= 'f');
        if (hex && m_nSizeDigits < kMaxChunkSizeDigits) {
            m_nLeft = m_nLeft * 16 + static_cast<std::uint64_t>(c <= '9' ? c - '0' : lower - 'a' + 10);
            ++m_nSizeDigits;
        } else if (hex || m_nSizeDigits == 0) {
            m_eStep = EStep::Failed;
        } else if (c == ' ' || c == '\t') {
            m_eStep = EStep::ChunkSizeSpace;
        } else if (c == ';') {
            m_eStep = EStep::ChunkExtension;
        } else {
            EndLine(c, EStep::ChunkSizeLf, afterSize);
        }
        break;
    }
    case EStep::ChunkSizeSpace:
        if (c == ';')
            m_eStep = EStep::ChunkExtension;
        else if (c != ' ' && c != '\t')
            EndLine(c, EStep::ChunkSizeLf, afterSize);
        break;
    case EStep::ChunkExtension:
        if (c == CR || c == LF)
            EndLine(c, EStep::ChunkSizeLf, afterSize);
        break;
    case EStep::ChunkSizeLf:
        m_eStep = c == LF ? afterSize : EStep::Failed;
        break;
    case EStep::ChunkDataCr:
        m_nSizeDigits = 0;
        EndLine(c, EStep::ChunkDataLf, EStep::ChunkSize);
        break;
    case EStep::ChunkDataLf:
        m_eStep = c == LF ? EStep::ChunkSize : EStep::Failed;
        break;
    case EStep::TrailerLineStart:
        if (c == CR || c == LF)
            EndLine(c, EStep::TrailerEndLf, EStep::Done);
        else
            m_eStep = EStep::TrailerLine;
        break;
    case EStep::TrailerLine:
        if (++m_nTrailerBytes > kMaxTrailerBytes)
            m_eStep = EStep::Failed;
        else if (c == CR || c == LF)
            EndLine(c, EStep::TrailerLineLf, EStep::TrailerLineStart);
        break;
    case EStep::TrailerLineLf:
        m_eStep = c == LF ? EStep::TrailerLineStart : EStep::Failed;
        break;
    case EStep::TrailerEndLf:
        m_eStep = c == LF ? EStep::Done : EStep::Failed;
        break;
    default:
        break;
    }
}
