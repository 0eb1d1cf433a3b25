#include "trace/TraceRecord.h"
#include "http/AsciiCase.h"
#include "http/HeaderFunctions.h"
#include "trace/OutOfMemory.h"

#include "platform/Ticks.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace {

// Whether a Content-Type value holds "image", "binary" or "stream" (ASCII case ignored): one
// pass, as every response's type passes here.
bool NamesBinaryType(std::string_view value)
{
    for (std::size_t i = 0; i < value.size(); ++i) {
        // Only 'I' and 'i' give 'i' with the 0x20 bit set; so for 'b' and 's'.
        switch (static_cast<char>(value[i] | 0x20)) {
        case 'i':
            if (EqualsNoCase(value.substr(i, 5), "image"))
                return true;
            break;
        case 'b':
            if (EqualsNoCase(value.substr(i, 6), "binary"))
                return true;
            break;
        case 's':
            if (EqualsNoCase(value.substr(i, 6), "stream"))
                return true;
            break;
        default:
            break;
        }
    }
    return false;
}

} // namespace

CTraceRecord::CTraceRecord(int connectionId, int sequence, ETraceDirection direction,
                           ETracePart part, std::string_view chunk, bool binary, bool ssl,
                           std::size_t headerEnd, bool texts)
    : m_bSSL(ssl)
{
    m_dwStartTick = GetTickMs();
    m_dwEndTick = m_dwStartTick; // read again only after texts were made

    m_nConnectionId = connectionId;
    m_nSequence = sequence;
    m_nPart = part;
    m_bBinary = binary;
    m_nDirection = direction;
    m_timeCaptured = GetWallClock();
    if (m_bSSL)
        m_bBinary = true;

    // Short of memory, the record keeps the texts made so far; the missing ones stay empty.
    if (texts) {
        RunUnlessOutOfMemory([&] { BuildTexts(chunk, headerEnd); });
        m_dwEndTick = GetTickMs();
    }

    m_nBytes = static_cast<std::int32_t>(
        std::min<std::size_t>(chunk.size(), std::numeric_limits<std::int32_t>::max()));
}

CTraceRecord::CTraceRecord(int connectionId, int sequence, ETraceDirection direction,
                           ETracePart part, std::size_t encryptedBytes)
    : CTraceRecord(connectionId, sequence, direction, part, std::string_view(), true, true)
{
    if (encryptedBytes > 0)
        m_strText = std::to_string(encryptedBytes) + " Bytes Encrypted SSL Data\r\n";
    m_nBytes = static_cast<std::int32_t>(
        std::min<std::size_t>(encryptedBytes, std::numeric_limits<std::int32_t>::max()));
}

CTraceRecord::CTraceRecord(const STraceRecordFields& fields)
    : m_bSSL(fields.ssl)
    , m_nElapsed(fields.elapsed)
    , m_bHeaderIncomplete(fields.headerIncomplete)
    , m_strHeader(fields.header)
    , m_dwStartTick(fields.startTick)
    , m_dwEndTick(fields.endTick)
    , m_nSequence(fields.sequence)
    , m_nConnectionId(fields.connectionId)
    , m_nExchange(fields.exchange)
    , m_bBinary(fields.binary)
    , m_strContentType(fields.contentType)
    , m_nBytes(fields.bytes)
    , m_strText(fields.text)
    , m_timeCaptured(fields.captured)
    , m_nDirection(fields.direction)
    , m_nPart(fields.part)
    , m_strCharset(fields.charset)
    , m_strOrigin(fields.origin)
    , m_nSerial(fields.serial)
{
}

STraceRecordFields CTraceRecord::GetFields() const
{
    STraceRecordFields fields;
    fields.connectionId = m_nConnectionId;
    fields.sequence = m_nSequence;
    fields.direction = m_nDirection;
    fields.part = m_nPart;
    fields.bytes = m_nBytes;
    fields.startTick = m_dwStartTick;
    fields.endTick = m_dwEndTick;
    fields.elapsed = m_nElapsed;
    fields.header = m_strHeader;
    fields.text = m_strText;
    fields.contentType = m_strContentType;
    fields.charset = m_strCharset;
    fields.origin = m_strOrigin;
    fields.binary = m_bBinary;
    fields.ssl = m_bSSL;
    fields.headerIncomplete = m_bHeaderIncomplete;
    fields.captured = m_timeCaptured;
    fields.exchange = m_nExchange;
    fields.serial = m_nSerial;
    return fields;
}

void CTraceRecord::BuildTexts(std::string_view chunk, std::size_t headerEnd)
{
    const bool headerChunk =
        m_nDirection == ETraceDirection::Received && m_nPart == ETracePart::Header && !m_bSSL;
    if (!m_bBinary && headerChunk) {
        ExtractHeader(chunk, headerEnd);
        ClassifyContentType();
    }

    const std::size_t skip = headerChunk ? m_strHeader.size() : 0;
    if (m_bBinary) {
        const std::size_t n = chunk.size() - skip;
        if (n > 0) {
            m_strText = std::to_string(n);
            m_strText += m_bSSL ? " Bytes Encrypted SSL Data\r\n" : " Bytes Binary Data\r\n";
        }
    } else {
        m_strText = BuildBodyText(chunk, skip);
    }
}

void CTraceRecord::ExtractHeader(std::string_view chunk, std::size_t headerEnd)
{
    m_bHeaderIncomplete = true;

    // The header ends as the relay finds its end. Of a chunk without that end, the last byte
    // stays in the display text only (the header goes on in the next chunk), unless it is a CR
    // after a line feed, which may be the start of the blank line.
    std::size_t end = headerEnd != 0 && headerEnd <= chunk.size() ? headerEnd : HeaderEndOffset(chunk);
    if (end != 0)
        m_bHeaderIncomplete = false;
    else if (chunk.ends_with("\n\r"))
        end = chunk.size();
    else
        end = chunk.empty() ? 0 : chunk.size() - 1;
    m_strHeader.assign(chunk.substr(0, end));
}

void CTraceRecord::ClassifyContentType()
{
    const std::string_view header(m_strHeader);
    // Searched in place, without an upper-case copy of the head: every response passes here.
    const std::size_t match = FindNoCase(header.substr(0, header.find('\0')), "content-type:");
    if (match == std::string_view::npos)
        return;

    // The name, its colon and the blank that is expected after it.
    const std::size_t start = match + 14;
    if (start >= header.size())
        return;
    std::size_t end = LineBreakOffset(header, start);
    if (end == std::string_view::npos)
        end = header.size();
    m_strContentType.assign(header.substr(start, end - start));

    if (NamesBinaryType(m_strContentType))
        m_bBinary = true;
}

std::string CTraceRecord::BuildBodyText(std::string_view chunk, std::size_t skip)
{
    std::size_t shown = chunk.find('\0');
    if (shown == std::string_view::npos)
        shown = chunk.size();
    else
        m_bBinary = true;

    std::string text;
    if (shown > skip)
        text.assign(chunk.substr(skip, shown - skip));
    if (shown < chunk.size()) {
        text += "\r\nBinary Data - not shown. ";
        text += std::to_string(chunk.size() - shown);
        text += " bytes.\r\n";
    }
    return text;
}

void CTraceRecord::ReplaceBodyText(std::string&& text, std::size_t begin, std::size_t end,
                                   CDecodedTextBudget::Share share)
{
    m_decodedShare = std::move(share);
    const std::string_view whole(text);
    m_bBinary = whole.substr(begin, end - begin).find('\0') != std::string_view::npos;
    if (!m_bBinary) {
        m_strText = std::move(text);
        return;
    }
    std::string cut(whole.substr(0, begin));
    cut += BuildBodyText(whole.substr(begin, end - begin), 0);
    cut += whole.substr(end);
    m_strText = std::move(cut);
    Recount();
}

void CTraceRecord::AppendNote(const std::string& note)
{
    RunUnlessOutOfMemory([&] { m_strText += note; }); // short of memory: the text as it was
    Recount();
}

namespace {
// Heap bytes a string holds beyond the object itself.
std::size_t HeapBytes(const std::string& text)
{
    return text.capacity() > std::string().capacity() ? text.capacity() + 1 : 0;
}
} // namespace

void CTraceRecord::Recount()
{
    m_memoryShare.Resize(sizeof(CTraceRecord) + HeapBytes(m_strHeader) + HeapBytes(m_strText)
                         + HeapBytes(m_strContentType) + HeapBytes(m_strCharset)
                         + HeapBytes(m_strOrigin));
}

void CTraceRecord::CountIn(std::shared_ptr<CMemoryBudget> budget)
{
    m_memoryShare = CMemoryBudget::Share(std::move(budget), 0);
    Recount();
}

void CTraceRecord::DropTexts(bool readable)
{
    constexpr std::size_t kSmallText = 128;    // nothing worth freeing
    constexpr std::size_t kKeptHeader = 1024;  // a usual response header stays whole
    const bool bigHeader = m_strHeader.size() > kKeptHeader;
    if (m_nKept != EKept::InMemory || (m_strText.size() <= kSmallText && !bigHeader))
        return;
    // What the summary reads stays, so the Listing's rows and the log rows read as before: the
    // header's first line (at most 100 bytes), or else the text's.
    const std::size_t cr = m_strHeader.find('\r');
    if (bigHeader && cr != std::string::npos && cr != 0) {
        m_strHeader.resize(std::min<std::size_t>(cr, 100));
        m_strHeader += "\r\n";
        m_strHeader.shrink_to_fit();
    }
    std::string text;
    if (m_strHeader.empty()) {
        text = m_strText.substr(0, 100);
        const std::size_t end = text.find('\r', 7);
        if (end != std::string::npos)
            text.resize(end);
        text += "\r\n";
    }
    text += kDroppedNote;
    text += "\r\n";
    m_strText = std::move(text);
    m_decodedShare.Release();
    m_nKept = readable ? EKept::Readable : EKept::Dropped;
    Recount();
}
