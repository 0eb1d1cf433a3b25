#include "app/RecordLineFormat.h"

#include "trace/TraceRecord.h"

#include <cstdio>
#include <ctime>

namespace {

void AppendEscapedByte(std::string& out, unsigned char c)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u00";
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
}

// Length of the well-formed UTF-8 sequence at bytes[i] (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0 when the byte does not start one.
std::size_t Utf8SequenceLength(std::string_view bytes, std::size_t i)
{
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[i + k]); };
    const unsigned char lead = at(0);
    std::size_t length = 0;
    unsigned char low = 0x80; // allowed range of the second byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0; // overlong below U+0800
        else if (lead == 0xED)
            high = 0x9F; // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90; // overlong below U+10000
        else if (lead == 0xF4)
            high = 0x8F; // above U+10FFFF
    } else {
        return 0;
    }
    if (bytes.size() - i < length || at(1) < low || at(1) > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if ((at(k) & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

// The capture time as local ISO 8601 with its offset: "2026-12-08T14:03:22+01:00".
std::string IsoTime(std::time_t captured)
{
    std::tm local{};
    char text[40];
    if (!localtime_r(&captured, &local) || std::strftime(text, sizeof text, "%FT%T%z", &local) == 0)
        return "1970-01-01T00:00:00+00:00";
    std::string iso = text;
    if (iso.size() >= 5)
        iso.insert(iso.size() - 2, 1, ':'); // "+0100" -> "+01:00"
    return iso;
}

std::string TextLine(const CTraceRecord& record)
{
    std::string line = record.GetDirection() == ETraceDirection::Sent ? "SEND" : "RECIEVE";
    line += '\t';
    line += record.GetIdText();
    line += '\t';
    line += record.GetTimeText();
    line += '\t';
    line += std::to_string(record.GetByteCount());
    line += '\t';
    line += record.GetSummary();
    line += '\n';
    return line;
}

std::string JsonLine(const CTraceRecord& record)
{
    // Written by hand rather than through QJsonObject: the fields keep their documented order,
    // the summary's bytes are not converted to UTF-16 and back for every record, and a stray
    // byte keeps its value instead of turning into U+FFFD.
    const std::int32_t elapsed = record.GetElapsed() < 0 ? 0 : record.GetElapsed();
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%d.%03d", static_cast<int>(elapsed / 1000),
                  static_cast<int>(elapsed % 1000));

    std::string line = "{\"direction\":\"";
    line += record.GetDirection() == ETraceDirection::Sent ? "send" : "receive";
    line += "\",\"connection\":";
    line += std::to_string(record.GetConnectionId());
    line += ",\"sequence\":";
    line += std::to_string(record.GetSequence());
    line += ",\"time\":\"";
    line += IsoTime(record.GetTimeCaptured());
    line += "\",\"bytes\":";
    line += std::to_string(record.GetByteCount());
    line += ",\"response_time\":";
    line += seconds;
    line += ",\"summary\":\"";
    AppendJsonStringBody(line, record.GetSummary());
    line += "\"}\n";
    return line;
}

} // namespace

void AppendJsonStringBody(std::string& out, std::string_view bytes)
{
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20 || c == 0x7F) {
                AppendEscapedByte(out, c);
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        const std::size_t length = Utf8SequenceLength(bytes, i);
        if (length == 0) {
            AppendEscapedByte(out, c);
            ++i;
        } else {
            out.append(bytes.substr(i, length));
            i += length;
        }
    }
}

std::string FormatRecordLine(const CTraceRecord& record, RecordFormat format)
{
    return format == RecordFormat::Json ? JsonLine(record) : TextLine(record);
}
