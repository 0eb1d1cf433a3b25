#include "ui/viewers/BodyPreview.h"

#include "http/AsciiCase.h"
#include "http/MessageFraming.h"
#include "http/HttpHead.h"
#include "trace/BodyDecoder.h"
#include "trace/CharsetText.h"
#include "ui/viewers/ExchangeCells.h"


#include <optional>

namespace {

QString Count(std::uint64_t bytes)
{
    return QString::fromLatin1(GroupedNumber(bytes));
}

std::optional<ContentCoding> CodingNamed(std::string_view name)
{
    const std::string lower = LowerAscii(name);
    if (lower == "gzip" || lower == "x-gzip")
        return ContentCoding::Gzip;
    if (lower == "deflate")
        return ContentCoding::Deflate;
    if (lower == "br")
        return ContentCoding::Brotli;
    if (lower == "zstd")
        return ContentCoding::Zstd;
    return std::nullopt;
}

std::string CharsetOf(std::string_view contentType)
{
    const std::string lower = LowerAscii(contentType);
    const std::size_t at = lower.find("charset=");
    if (at == std::string::npos)
        return std::string();
    std::string charset = lower.substr(at + 8);
    charset = charset.substr(0, charset.find_first_of("; \t"));
    if (charset.size() >= 2 && charset.front() == '"' && charset.back() == '"')
        charset = charset.substr(1, charset.size() - 2);
    return charset;
}

bool IsTextType(std::string_view type)
{
    return type.compare(0, 5, "text/") == 0 || ContainsNoCase(type, "xml") || ContainsNoCase(type, "javascript")
           || ContainsNoCase(type, "ecmascript") || ContainsNoCase(type, "x-www-form-urlencoded")
           || ContainsNoCase(type, "graphql") || ContainsNoCase(type, "yaml") || ContainsNoCase(type, "csv");
}

} // namespace

bool IndentJson(const std::string& json, std::string& out)
{
    std::size_t first = json.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || (json[first] != '{' && json[first] != '['))
        return false;
    std::string result;
    result.reserve(json.size() + json.size() / 4);
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    auto newline = [&] {
        result += '\n';
        result.append(static_cast<std::size_t>(std::max(depth, 0)) * 2, ' ');
    };
    for (std::size_t i = first; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            result += c;
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        switch (c) {
        case ' ': case '\t': case '\r': case '\n':
            break; // the layout is ours
        case '"':
            inString = true;
            result += c;
            break;
        case '{': case '[': {
            result += c;
            ++depth;
            // An empty object or array stays on its line.
            const std::size_t next = json.find_first_not_of(" \t\r\n", i + 1);
            if (next != std::string::npos && (json[next] == '}' || json[next] == ']'))
                break;
            newline();
            break;
        }
        case '}': case ']':
            --depth;
            if (depth < 0)
                return false;
            if (!result.empty() && result.back() != '{' && result.back() != '[')
                newline();
            result += c;
            break;
        case ',':
            result += c;
            newline();
            break;
        case ':':
            result += ": ";
            break;
        default:
            result += c;
        }
    }
    if (depth != 0 || inString)
        return false;
    out = std::move(result);
    return true;
}

std::vector<std::uint32_t> SplitLines(const std::string& text, std::size_t maxLine)
{
    std::vector<std::uint32_t> starts;
    if (text.empty())
        return starts;
    std::size_t start = 0;
    starts.push_back(0);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            start = i + 1;
            if (start < text.size())
                starts.push_back(static_cast<std::uint32_t>(start));
        } else if (i - start >= maxLine && (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            start = i;
            starts.push_back(static_cast<std::uint32_t>(start));
        }
    }
    return starts;
}

SBodyPreview PrepareBody(const std::string& head, const std::string& body, std::uint64_t total)
{
    SBodyPreview preview;
    QStringList notes;
    if (total > body.size())
        notes << QStringLiteral("Only the first %1 of %2 bytes were kept.").arg(Count(body.size()), Count(total));
    if (body.empty()) {
        preview.notice = notes.join(QLatin1Char(' '));
        return preview;
    }

    std::string bytes = body;
    if (ContainsNoCase(FindHeaderField(head, "Transfer-Encoding"), "chunked")) {
        std::string data;
        CBodyFramer chunks; // the relay's own reading of chunks, lenient as with servers
        chunks.Start(CBodyFraming{EBodyKind::Chunked, 0, true}, true);
        chunks.Consume(bytes, &data);
        if (chunks.HasFailed())
            notes << QStringLiteral("The chunked framing is broken: the rest is shown as it came.");
        bytes = std::move(data);
    }

    const std::string_view encoding = FindHeaderField(head, "Content-Encoding");
    if (!encoding.empty() && !EqualsNoCase(encoding, "identity")) {
        const std::optional<ContentCoding> coding = CodingNamed(encoding);
        std::unique_ptr<CBodyDecoder> decoder = coding ? CBodyDecoder::Create(*coding) : nullptr;
        std::string decoded;
        const CBodyDecoder::Step step =
            decoder ? decoder->Decode(bytes, decoded, kMaxShownBody + 1) : CBodyDecoder::Step{CBodyDecoder::Status::Corrupt, 0};
        const QString name = QString::fromUtf8(encoding.data(), static_cast<qsizetype>(encoding.size()));
        if (step.status == CBodyDecoder::Status::Corrupt) {
            notes << (decoder ? QStringLiteral("Could not decode %1: shown as it came.")
                              : QStringLiteral("%1 is not a coding Kestrune decodes: shown as it came."))
                         .arg(name);
        } else {
            notes << QStringLiteral("Decoded from %1 (%2 bytes to %3%4).")
                         .arg(name, Count(bytes.size()), Count(decoded.size()),
                              step.status == CBodyDecoder::Status::Full ? QStringLiteral(" and more") : QString());
            bytes = std::move(decoded);
        }
    }
    if (bytes.size() > kMaxShownBody) {
        notes << QStringLiteral("Only the first 16 MiB are shown.");
        bytes.resize(kMaxShownBody);
    }

    const std::string_view contentType = FindHeaderField(head, "Content-Type");
    std::string_view type = contentType.substr(0, contentType.find(';'));
    while (!type.empty() && type.back() == ' ')
        type.remove_suffix(1);
    const std::string lowerType = LowerAscii(type);

    if (lowerType.compare(0, 6, "image/") == 0
        && preview.image.loadFromData(reinterpret_cast<const uchar*>(bytes.data()), static_cast<int>(bytes.size()))) {
        preview.kind = SBodyPreview::Kind::Image;
        notes << QStringLiteral("%1 image, %2 x %3 pixels.")
                     .arg(QString::fromStdString(lowerType))
                     .arg(preview.image.width())
                     .arg(preview.image.height());
        preview.notice = notes.join(QLatin1Char(' '));
        return preview;
    }
    const bool json = ContainsNoCase(lowerType, "json");
    const bool noNul = bytes.find('\0') == std::string::npos;
    // Text by its type, or, whatever it claims to be, bytes that read as UTF-8.
    const bool image = lowerType.compare(0, 6, "image/") == 0;
    if (noNul && (json || IsTextType(lowerType) || (!image && LooksLikeUtf8(bytes)))) {
        preview.kind = SBodyPreview::Kind::Text;
        std::string text = ToDisplayUtf8(std::move(bytes), CharsetOf(contentType));
        std::string indented;
        if (json && IndentJson(text, indented)) {
            text = std::move(indented);
            notes << QStringLiteral("JSON, indented.");
        }
        preview.lineStarts = SplitLines(text);
        preview.text = std::move(text);
    } else {
        preview.kind = SBodyPreview::Kind::Binary;
        preview.bytes = std::move(bytes);
    }
    preview.notice = notes.join(QLatin1Char(' '));
    return preview;
}

SRawPreview PrepareRaw(const std::string& head, const std::string& body)
{
    SRawPreview raw;
    raw.text = head;
    raw.text += ToDisplayUtf8(body.substr(0, kMaxShownBody), std::string_view());
    raw.lineStarts = SplitLines(raw.text);
    return raw;
}
