#include "trace/ExchangeContent.h"

#include "http/AsciiCase.h"
#include "http/MessageFraming.h"
#include "trace/BodyDecoder.h"
#include "trace/Exchange.h"

#include <optional>

namespace {

// The body with its chunking off when the last transfer coding is chunked; complete when the
// chunked framing ended.
SExchangeContent Unframed(const SExchangeBody& body, std::string_view transferEncoding)
{
    SExchangeContent content;
    const std::string_view last = TrimAscii(transferEncoding.substr(transferEncoding.rfind(',') + 1));
    if (!EqualsNoCase(last, "chunked")) {
        content.bytes = body.bytes;
        content.complete = !body.IsCut();
        return content;
    }
    // The relay's own reading of chunks, lenient as it is with servers.
    CBodyFramer chunks;
    chunks.Start(CBodyFraming{EBodyKind::Chunked, 0, true}, true);
    chunks.Consume(body.bytes, &content.bytes);
    content.complete = chunks.IsDone() && !body.IsCut();
    return content;
}

std::optional<ContentCoding> CodingNamed(std::string_view name)
{
    for (ContentCoding coding : {ContentCoding::Gzip, ContentCoding::Deflate, ContentCoding::Brotli,
                                 ContentCoding::Zstd}) {
        if (EqualsNoCase(name, ContentCodingName(coding)))
            return coding;
    }
    if (EqualsNoCase(name, "x-gzip"))
        return ContentCoding::Gzip;
    return std::nullopt;
}

} // namespace

SExchangeContent RequestContent(const CExchange& exchange)
{
    return Unframed(exchange.m_RequestBody, exchange.RequestField("Transfer-Encoding"));
}

SExchangeContent ResponseContent(const CExchange& exchange, std::uint64_t limit)
{
    SExchangeContent content =
        Unframed(exchange.m_ResponseBody, exchange.ResponseField("Transfer-Encoding"));
    const std::string_view encoding = exchange.ResponseField("Content-Encoding");
    if (encoding.empty() || EqualsNoCase(encoding, "identity") || !content.complete)
        return content;
    const std::optional<ContentCoding> coding = CodingNamed(encoding);
    if (!coding)
        return content;
    std::string decoded;
    const auto step = CBodyDecoder::Create(*coding)->Decode(content.bytes, decoded,
                                                            static_cast<std::size_t>(limit));
    if (step.status != CBodyDecoder::Status::End)
        return content;
    content.bytes = std::move(decoded);
    content.decoded = true;
    return content;
}

bool IsUtf8(std::string_view bytes)
{
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // The length and the range of the second byte, which rules out overlong forms,
        // surrogates and values past U+10FFFF (RFC 3629 section 4).
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xbf;
        if (lead >= 0xc2 && lead <= 0xdf) {
            length = 2;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            length = 3;
            low = lead == 0xe0 ? 0xa0 : 0x80;
            high = lead == 0xed ? 0x9f : 0xbf;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4;
            low = lead == 0xf0 ? 0x90 : 0x80;
            high = lead == 0xf4 ? 0x8f : 0xbf;
        } else {
            return false;
        }
        if (i + length > bytes.size())
            return false;
        const auto second = static_cast<unsigned char>(bytes[i + 1]);
        if (second < low || second > high)
            return false;
        for (std::size_t k = 2; k < length; ++k) {
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xc0) != 0x80)
                return false;
        }
        i += length;
    }
    return true;
}
