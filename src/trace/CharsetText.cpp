#include "trace/CharsetText.h"
#include "http/AsciiCase.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ustring.h>

#include <memory>
#include <new>

namespace {

// The names browsers read as a wider code page, mapped to it.
std::string ConverterName(std::string_view charset)
{
    const std::string name = LowerAscii(charset);
    for (const char* latin1 : {"iso-8859-1", "iso8859-1", "iso_8859-1", "latin1", "l1", "us-ascii",
                               "ascii", "cp819", "ibm819", "iso-ir-100"}) {
        if (name == latin1)
            return "windows-1252";
    }
    if (name == "gb2312" || name == "x-gbk" || name == "gb_2312-80")
        return "GBK";
    if (name == "euc-kr" || name == "ks_c_5601-1987" || name == "windows-949")
        return "windows-949";
    return name;
}

bool IsUtf8Name(std::string_view name) { return name == "utf-8" || name == "utf8"; }

// Plain ASCII reads the same in every charset we convert from (the escapes of ISO-2022 aside).
bool IsPlainAscii(std::string_view text)
{
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 || byte == 0x1B)
            return false;
    }
    return true;
}

// Undecodable bytes become U+FFFD (ICU's default would give U+001A for some code pages).
void SubstituteReplacement(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
                           UConverterCallbackReason reason, UErrorCode* error)
{
    if (reason > UCNV_IRREGULAR)
        return;
    static const UChar kReplacement = 0xFFFD;
    *error = U_ZERO_ERROR;
    ucnv_cbToUWriteUChars(args, &kReplacement, 1, 0, error);
}

struct ConverterCloser {
    void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

ConverterPtr OpenConverter(const std::string& name)
{
    UErrorCode error = U_ZERO_ERROR;
    ConverterPtr converter(ucnv_open(name.c_str(), &error));
    if (U_FAILURE(error) || !converter)
        return nullptr;
    ucnv_setToUCallBack(converter.get(), &SubstituteReplacement, nullptr, nullptr, nullptr, &error);
    return U_FAILURE(error) ? nullptr : std::move(converter);
}

// Empty on failure (the caller keeps the bytes).
std::string Convert(UConverter* converter, std::string_view text)
{
    const auto size = static_cast<int32_t>(text.size());
    std::u16string wide(text.size() * 2 + 16, u'\0');
    UErrorCode error = U_ZERO_ERROR;
    const int32_t units = ucnv_toUChars(converter, wide.data(), static_cast<int32_t>(wide.size()),
                                        text.data(), size, &error);
    if (U_FAILURE(error))
        return {};
    std::string utf8(static_cast<std::size_t>(units) * 3, '\0');
    int32_t length = 0;
    u_strToUTF8WithSub(utf8.data(), static_cast<int32_t>(utf8.size()), &length, wide.data(), units,
                       0xFFFD, nullptr, &error);
    if (U_FAILURE(error))
        return {};
    utf8.resize(static_cast<std::size_t>(length));
    return utf8;
}

} // namespace

bool LooksLikeUtf8(std::string_view text)
{
    std::size_t i = 0;
    // Continuation bytes at the start end a character that began in the chunk before.
    while (i < text.size() && i < 3 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
        ++i;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 1;
        if (lead < 0x80)
            length = 1;
        else if (lead >= 0xC2 && lead <= 0xDF)
            length = 2;
        else if (lead >= 0xE0 && lead <= 0xEF)
            length = 3;
        else if (lead >= 0xF0 && lead <= 0xF4)
            length = 4;
        else
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            if (i + k >= text.size())
                return true; // cut by the end of the chunk
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += length;
    }
    return true;
}

std::string ToDisplayUtf8(std::string text, std::string_view charset)
{
    std::string name = ConverterName(charset);
    if (IsUtf8Name(name) || IsPlainAscii(text))
        return text;
    ConverterPtr converter = name.empty() ? nullptr : OpenConverter(name);
    if (!converter) {
        if (LooksLikeUtf8(text))
            return text;
        converter = OpenConverter("windows-1252");
        if (!converter)
            return text;
    }
    std::string converted = Convert(converter.get(), text);
    return converted.empty() ? text : converted;
}
