#include "app/JsonWriter.h"

#include "trace/ExchangeContent.h"

#include <QByteArray>
#include <QLocale>

#include <charconv>
#include <cmath>

namespace {

constexpr char kHex[] = "0123456789abcdef";
// U+FEFF in UTF-8: Qt's reader drops it at the start of a string, so it goes as an escape.
constexpr std::string_view kByteOrderMark = "\xef\xbb\xbf";
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool NeedsEscape(unsigned char byte, bool latin1)
{
    return byte < 0x20 || byte == '"' || byte == '\\' || (latin1 && byte >= 0x80);
}

} // namespace

void CJsonWriter::BeforeValue()
{
    if (m_bNeedComma)
        m_Out += ',';
    m_bNeedComma = true;
}

CJsonWriter& CJsonWriter::Key(std::string_view name)
{
    BeforeValue();
    m_Out += '"';
    m_Out.append(name);
    m_Out += "\":";
    m_bNeedComma = false; // the value follows the colon
    return *this;
}

CJsonWriter& CJsonWriter::Open(char bracket)
{
    BeforeValue();
    m_Out += bracket;
    m_bNeedComma = false;
    return *this;
}

CJsonWriter& CJsonWriter::Close(char bracket)
{
    m_Out += bracket;
    m_bNeedComma = true;
    return *this;
}

CJsonWriter& CJsonWriter::Text(std::string_view bytes)
{
    BeforeValue();
    Escaped(bytes, !IsUtf8(bytes));
    return *this;
}

CJsonWriter& CJsonWriter::Utf8(std::string_view bytes)
{
    BeforeValue();
    Escaped(bytes, false);
    return *this;
}

void CJsonWriter::Escaped(std::string_view bytes, bool latin1)
{
    m_Out.reserve(m_Out.size() + bytes.size() + 2);
    m_Out += '"';
    std::size_t plain = 0; // the start of bytes not yet written, which need no escape
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == 0xef && !latin1 && bytes.substr(i, 3) == kByteOrderMark) {
            m_Out.append(bytes.data() + plain, i - plain);
            m_Out += "\\ufeff";
            i += 2;
            plain = i + 1;
            continue;
        }
        if (!NeedsEscape(byte, latin1))
            continue;
        m_Out.append(bytes.data() + plain, i - plain);
        plain = i + 1;
        if (byte >= 0x80) { // a Latin-1 character in UTF-8
            m_Out += static_cast<char>(0xc0 | (byte >> 6));
            m_Out += static_cast<char>(0x80 | (byte & 0x3f));
            continue;
        }
        m_Out += '\\';
        switch (byte) {
        case '"':
            m_Out += '"';
            break;
        case '\\':
            m_Out += '\\';
            break;
        case '\b':
            m_Out += 'b';
            break;
        case '\f':
            m_Out += 'f';
            break;
        case '\n':
            m_Out += 'n';
            break;
        case '\r':
            m_Out += 'r';
            break;
        case '\t':
            m_Out += 't';
            break;
        default:
            m_Out += "u00";
            m_Out += kHex[byte >> 4];
            m_Out += kHex[byte & 0xf];
        }
    }
    m_Out.append(bytes.data() + plain, bytes.size() - plain);
    m_Out += '"';
}

CJsonWriter& CJsonWriter::Base64(std::string_view bytes)
{
    BeforeValue();
    const std::size_t start = m_Out.size() + 1;
    m_Out.resize(start + (bytes.size() + 2) / 3 * 4 + 1);
    m_Out[start - 1] = '"';
    char* out = m_Out.data() + start;
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t left = bytes.size();
    for (; left >= 3; left -= 3, in += 3) {
        const unsigned value = in[0] << 16 | in[1] << 8 | in[2];
        *out++ = kBase64[value >> 18];
        *out++ = kBase64[value >> 12 & 0x3f];
        *out++ = kBase64[value >> 6 & 0x3f];
        *out++ = kBase64[value & 0x3f];
    }
    if (left > 0) {
        const unsigned value = in[0] << 16 | (left > 1 ? in[1] << 8 : 0);
        *out++ = kBase64[value >> 18];
        *out++ = kBase64[value >> 12 & 0x3f];
        *out++ = left > 1 ? kBase64[value >> 6 & 0x3f] : '=';
        *out++ = '=';
    }
    *out = '"';
    return *this;
}

CJsonWriter& CJsonWriter::Integer(std::int64_t value)
{
    BeforeValue();
    char text[24];
    m_Out.append(
        text, static_cast<std::size_t>(std::to_chars(text, text + sizeof text, value).ptr - text));
    return *this;
}

CJsonWriter& CJsonWriter::Number(double value)
{
    constexpr double kExactIntegers = 9007199254740992.0; // 2^53
    if (std::isfinite(value) && std::trunc(value) == value && std::fabs(value) <= kExactIntegers)
        return Integer(static_cast<std::int64_t>(value));
    BeforeValue();
    m_Out += std::isfinite(value)
                 ? QByteArray::number(value, 'g', QLocale::FloatingPointShortest).toStdString()
                 : std::string("null");
    return *this;
}
