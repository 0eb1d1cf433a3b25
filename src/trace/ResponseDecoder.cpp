#include "trace/ResponseDecoder.h"
#include "http/AsciiCase.h"
#include "http/HttpHead.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace {

constexpr std::size_t kPrescanBytes = 1024;
// Decoding goes into one buffer that keeps its memory between chunks up to this size: a chunk
// that decodes to megabytes then costs one copy into its record, not a string grown by halves.
constexpr std::size_t kKeptScratchBytes = 4 * 1024 * 1024;

std::string_view Trim(std::string_view text) { return TrimAscii(text, " \t\r"); }

} // namespace

// The values of the fields the decoder reads, each in lower case, repeats joined by commas.
struct CResponseDecoder::SDecoderFields {
    std::string type;
    std::string encoding;
    std::string transfer;
    std::string length;

    explicit SDecoderFields(std::string_view header)
    {
        ForEachHeadField(header, [this](std::string_view name, std::string_view value) {
            Add(name, value);
        });
    }
    // typeOnly: without decoding only the type is read (its charset, whether it is binary).
    SDecoderFields(const std::vector<SHttpHead::SField>& fields, bool typeOnly)
    {
        for (const SHttpHead::SField& field : fields) {
            if (!typeOnly)
                Add(field.name, field.value);
            else if (EqualsNoCase(field.name, "content-type"))
                Add(field.name, field.value);
        }
    }

    void Add(std::string_view name, std::string_view value)
    {
        std::string* values = nullptr;
        if (EqualsNoCase(name, "content-type"))
            values = &type;
        else if (EqualsNoCase(name, "content-encoding"))
            values = &encoding;
        else if (EqualsNoCase(name, "transfer-encoding"))
            values = &transfer;
        else if (EqualsNoCase(name, "content-length"))
            values = &length;
        if (!values)
            return;
        if (!values->empty())
            *values += ',';
        const std::size_t at = values->size();
        values->append(value);
        for (std::size_t i = at; i < values->size(); ++i)
            (*values)[i] = LowerAscii((*values)[i]);
    }
};

namespace {

std::vector<std::string> Tokens(std::string_view list)
{
    std::vector<std::string> tokens;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(',', start);
        if (end == std::string_view::npos)
            end = list.size();
        const std::string_view token = Trim(list.substr(start, end - start));
        if (!token.empty() && token != "identity")
            tokens.emplace_back(token);
        start = end + 1;
    }
    return tokens;
}

// The body length a Content-Length value gives (repeats of one number allowed), or none.
std::optional<std::uint64_t> ContentLength(std::string_view values)
{
    std::optional<std::uint64_t> length;
    for (const std::string& value : Tokens(values)) {
        std::uint64_t number = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
        if (ec != std::errc() || end != value.data() + value.size()
            || (length && *length != number))
            return std::nullopt;
        length = number;
    }
    return length;
}

std::optional<ContentCoding> CodingNamed(std::string_view name)
{
    if (name == "gzip" || name == "x-gzip")
        return ContentCoding::Gzip;
    if (name == "deflate")
        return ContentCoding::Deflate;
    if (name == "br")
        return ContentCoding::Brotli;
    if (name == "zstd")
        return ContentCoding::Zstd;
    return std::nullopt;
}

// The value after "charset" and "=" in text (lower case), quotes and blanks skipped.
std::string CharsetAfter(std::string_view text, std::size_t from)
{
    const std::size_t at = text.find("charset", from);
    if (at == std::string_view::npos)
        return {};
    std::size_t i = at + 7;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    if (i >= text.size() || text[i] != '=')
        return {};
    ++i;
    while (i < text.size() && (text[i] == ' ' || text[i] == '"' || text[i] == '\''))
        ++i;
    std::string name;
    for (; i < text.size() && name.size() < 40; ++i) {
        const char c = text[i];
        const bool nameChar = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
                              || c == '_' || c == '.' || c == ':' || c == '+';
        if (!nameChar)
            break;
        name += c;
    }
    return name;
}

} // namespace

std::string FormatByteCount(std::uint64_t count)
{
    const std::string digits = std::to_string(count);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += ',';
        text += digits[i];
    }
    return text;
}

CResponseDecoder::CResponseDecoder(std::string_view header, bool decode)
{
    Start(SDecoderFields(header), decode); // one pass, for all the fields asked there
}

CResponseDecoder::CResponseDecoder(const std::vector<SHttpHead::SField>& fields, bool decode)
{
    Start(SDecoderFields(fields, !decode), decode);
}

void CResponseDecoder::Start(const SDecoderFields& fields, bool decode)
{
    const std::string& type = fields.type;
    m_strCharset = CharsetAfter(type, 0);
    const bool binaryType = type.find("image") != std::string::npos
                            || type.find("binary") != std::string::npos
                            || type.find("stream") != std::string::npos;
    m_bPrescan = m_strCharset.empty() && !binaryType
                 && (type.empty() || type.find("html") != std::string::npos);

    if (!decode || binaryType)
        return;
    // One coding we know, after any chunked transfer coding and nothing else.
    const std::vector<std::string> codings = Tokens(fields.encoding);
    std::vector<std::string> transfer = Tokens(fields.transfer);
    const bool chunked = !transfer.empty() && transfer.back() == "chunked";
    if (chunked)
        transfer.pop_back();
    if (codings.size() != 1 || !transfer.empty())
        return;
    const std::optional<ContentCoding> coding = CodingNamed(codings.front());
    if (!coding)
        return;
    m_coding = *coding;
    m_pDecoder = CBodyDecoder::Create(m_coding);
    if (chunked) {
        // The relay's own reading of chunks, lenient as it is with servers.
        m_pChunked = std::make_unique<CBodyFramer>();
        m_pChunked->Start(CBodyFraming{EBodyKind::Chunked, 0, true}, true);
    } else {
        m_nBodyLength = ContentLength(fields.length);
    }
    m_state = State::Decoding;
}

CResponseDecoder::~CResponseDecoder() = default;

std::string CResponseDecoder::SizesText() const
{
    return FormatByteCount(m_nEncoded) + " -> " + FormatByteCount(m_nDecoded) + " bytes";
}

void CResponseDecoder::Close(Shown& shown, const std::string& note)
{
    shown.decodedEnd = shown.text.size();
    shown.text += note;
    shown.closed = true;
}

std::string CResponseDecoder::CutShortNote() const
{
    return "\r\n[" + std::string(ContentCodingName(m_coding)) + " stream cut short: " + SizesText()
           + "]\r\n";
}

std::string CResponseDecoder::TakeCutShortNote()
{
    if (m_state != State::Decoding || !m_bMarked)
        return {};
    m_state = State::Ended;
    m_pDecoder.reset();
    return CutShortNote();
}

void CResponseDecoder::Stop(Shown& shown, const std::string& why)
{
    Close(shown, "\r\n[" + std::string(ContentCodingName(m_coding)) + " decoding stopped after "
                     + SizesText() + ": " + why + "; the rest is shown as received]\r\n");
    m_state = State::Stopped;
    m_pDecoder.reset(); // its memory goes at once
    m_pChunked.reset();
}

std::optional<CResponseDecoder::Shown> CResponseDecoder::TakeBody(std::string_view body,
                                                                  std::uint64_t spare)
{
    if (body.empty() || (m_state != State::Decoding && m_state != State::Ended))
        return std::nullopt;

    Shown shown;
    std::string unchunked;
    std::string_view encoded = body;
    m_nBodyBytes += body.size();
    bool bodyEnded = m_nBodyLength && m_nBodyBytes >= *m_nBodyLength;
    if (m_pChunked) {
        m_pChunked->Consume(body, &unchunked);
        encoded = unchunked;
        if (m_pChunked->HasFailed() && m_state == State::Decoding) {
            Stop(shown, "broken chunked framing");
            return shown;
        }
        bodyEnded = m_pChunked->IsDone();
    }
    if (m_state == State::Ended) {
        // The chunked framing after the end of the stream shows as nothing; data there as it came.
        if (!encoded.empty()) {
            m_state = State::Stopped;
            return std::nullopt;
        }
        return shown;
    }

    m_nEncoded += encoded.size();
    const std::uint64_t bound = std::min(kMaxDecodedBytes, std::max(kRatioFloor, m_nEncoded * kMaxRatio));
    const std::size_t room =
        static_cast<std::size_t>(std::min(bound > m_nDecoded ? bound - m_nDecoded : 0, spare));
    static std::string scratch; // one thread runs all decoding
    scratch.clear();
    CBodyDecoder::Step step;
    try {
        step = m_pDecoder->Decode(encoded, scratch, room);
    } catch (...) {
        std::string().swap(scratch);
        throw;
    }
    m_nDecoded += scratch.size();

    const std::string marker =
        m_bMarked ? std::string() : "[decoded from " + std::string(ContentCodingName(m_coding)) + "]\r\n";
    m_bMarked = true;
    shown.text.reserve(marker.size() + scratch.size() + 160);
    shown.text += marker;
    shown.decodedBegin = shown.text.size();
    shown.text += scratch;
    shown.decodedEnd = shown.text.size();
    if (scratch.capacity() > kKeptScratchBytes)
        std::string().swap(scratch);

    switch (step.status) {
    case CBodyDecoder::Status::More:
        if (bodyEnded) {
            // The framing says the body is complete, the stream says it goes on.
            Close(shown, CutShortNote());
            m_state = State::Ended;
            m_pDecoder.reset();
        }
        break;
    case CBodyDecoder::Status::End: {
        m_nEncoded -= encoded.size() - step.used;
        std::string note = "\r\n[end of " + std::string(ContentCodingName(m_coding)) + " body: " + SizesText();
        if (step.used < encoded.size())
            note += "; " + FormatByteCount(encoded.size() - step.used) + " bytes after it not shown";
        Close(shown, note + "]\r\n");
        m_state = State::Ended;
        m_pDecoder.reset();
        break;
    }
    case CBodyDecoder::Status::Corrupt:
        Stop(shown, "the data is corrupt");
        break;
    case CBodyDecoder::Status::Full:
        // The rest of the decoded text is not kept; the chunks after this one show as they came.
        Close(shown, "\r\n[decoded text cut at " + FormatByteCount(m_nDecoded) + " bytes]\r\n");
        m_state = State::Stopped;
        m_pDecoder.reset();
        m_pChunked.reset();
        break;
    }
    return shown;
}

void CResponseDecoder::Prescan(std::string_view shown)
{
    if (!m_bPrescan)
        return;
    m_strPrescan.append(shown.substr(0, kPrescanBytes - m_strPrescan.size()));
    const std::string lower = LowerAscii(m_strPrescan);
    for (std::size_t meta = lower.find("<meta"); meta != std::string::npos;
         meta = lower.find("<meta", meta + 5)) {
        const std::size_t close = lower.find('>', meta);
        if (close == std::string::npos)
            return; // the tag goes on in the next chunk
        const std::string charset = CharsetAfter(std::string_view(lower).substr(0, close), meta);
        if (!charset.empty()) {
            m_strCharset = charset;
            m_bPrescan = false;
            m_strPrescan.clear();
            return;
        }
    }
    if (m_strPrescan.size() >= kPrescanBytes) {
        m_bPrescan = false;
        m_strPrescan.clear();
        m_strPrescan.shrink_to_fit();
    }
}
