#include "trace/ExchangeUrl.h"

#include "trace/Exchange.h"

std::string PercentEncodeUnprintable(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte < 0x7f) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

std::string PrintableUrl(const CExchange& exchange)
{
    return PercentEncodeUnprintable(exchange.Url());
}
