#include "app/ExchangeLine.h"

#include "app/JsonWriter.h"
#include "http/AsciiCase.h"
#include "trace/Exchange.h"
#include "trace/ExchangeContent.h"
#include "trace/ExchangePhases.h"
#include "trace/ExchangeUrl.h"

#include <cmath>
#include <ctime>

namespace {

// Bodies up to this size are decoded on the spot to give their decoded size; a larger
// compressed body's decoded size is left out rather than spend the event loop's time on it.
constexpr std::size_t kMaxBodyDecodedForSize = 256 << 10;
constexpr std::uint64_t kMaxDecodedSize = 16 << 20;

// "2026-12-09T04:15:00.123456Z"; empty for 0.
std::string UtcTime(std::int64_t microseconds)
{
    if (microseconds <= 0)
        return std::string();
    const std::time_t seconds = static_cast<std::time_t>(microseconds / 1000000);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%06lldZ",
                  static_cast<long long>(microseconds % 1000000));
    return text;
}

double Ms(double value)
{
    return value < 0 ? -1 : std::round(value * 1000) / 1000;
}

bool HasContentCoding(const CExchange& exchange)
{
    const std::string_view coding = exchange.ResponseField("Content-Encoding");
    return !coding.empty() && !EqualsNoCase(coding, "identity");
}

// The response's content size, where it can be known cheaply: the body as it came when it has
// no coding, else decoded when it was kept whole and is small; -1 when not known.
std::int64_t DecodedSize(const CExchange& exchange)
{
    const SExchangeBody& body = exchange.m_ResponseBody;
    const bool encoded = HasContentCoding(exchange);
    if (!encoded && exchange.ResponseField("Transfer-Encoding").empty())
        return static_cast<std::int64_t>(body.total);
    if (body.IsCut() || body.bytes.size() > kMaxBodyDecodedForSize)
        return -1;
    const SExchangeContent content = ResponseContent(exchange, kMaxDecodedSize);
    if (!content.complete || (encoded && !content.decoded))
        return -1;
    return static_cast<std::int64_t>(content.bytes.size());
}

void WriteFlags(CJsonWriter& json, const CExchange& exchange)
{
    const std::pair<EExchangeFlag, const char*> kNames[] = {
        {kExchangeDecrypted, "decrypted"}, {kExchangeViaUpstream, "upstream"},
        {kExchangeTunnel, "tunnel"},       {kExchangeUpgraded, "upgraded"},
        {kExchangeReplay, "replay"}};
    json.BeginArray();
    for (const auto& [flag, name] : kNames) {
        if (exchange.Has(flag))
            json.Utf8(name);
    }
    json.EndArray();
}

void WriteTimings(CJsonWriter& json, const SExchangePhases& phases)
{
    json.BeginObject();
    json.Key("blocked").Number(Ms(phases.blocked)).Key("connect").Number(Ms(phases.connect));
    json.Key("dns").Number(Ms(phases.dns)).Key("receive").Number(Ms(phases.receive));
    json.Key("send").Number(Ms(phases.send)).Key("ssl").Number(Ms(phases.ssl));
    json.Key("total").Number(Ms(phases.Total())).Key("wait").Number(Ms(phases.wait));
    json.EndObject();
}

} // namespace

// Keys go in the order Qt's JSON objects sort them (by their characters), as the lines have
// always been written.
std::string FormatExchangeLine(const CExchange& exchange)
{
    std::string text;
    text.reserve(768);
    CJsonWriter json(text);
    json.BeginObject();
    json.Key("browser_connection").Integer(exchange.m_nBrowserConnection);
    json.Key("end").Utf8(ExchangeEndName(exchange.m_nEnd));
    if (!exchange.m_strEndReason.empty())
        json.Key("end_reason").Text(exchange.m_strEndReason);
    json.Key("ended").Utf8(UtcTime(exchange.m_Times.ended));
    json.Key("flags");
    WriteFlags(json, exchange);
    json.Key("host").Text(exchange.m_strHost);
    json.Key("id").Integer(static_cast<std::int64_t>(exchange.m_nId));
    json.Key("method").Text(exchange.m_strMethod);
    json.Key("port").Integer(exchange.m_nPort);
    json.Key("reason").Text(exchange.m_strReason);
    if (exchange.Has(kExchangeReplay))
        json.Key("replay_of").Integer(static_cast<std::int64_t>(exchange.m_nReplayOf));
    json.Key("request").BeginObject();
    json.Key("body_bytes").Integer(static_cast<std::int64_t>(exchange.m_RequestBody.total));
    json.Key("head_bytes").Integer(static_cast<std::int64_t>(exchange.m_strRequestHead.size()));
    json.EndObject();
    json.Key("response").BeginObject();
    json.Key("body_bytes").Integer(static_cast<std::int64_t>(exchange.m_ResponseBody.total));
    const std::int64_t decoded = exchange.m_nStatus > 0 ? DecodedSize(exchange) : -1;
    if (decoded >= 0)
        json.Key("decoded_bytes").Integer(decoded);
    json.Key("head_bytes").Integer(static_cast<std::int64_t>(exchange.m_strResponseHead.size()));
    if (exchange.m_nUnexpectedBytes > 0)
        json.Key("unexpected_bytes")
            .Integer(static_cast<std::int64_t>(exchange.m_nUnexpectedBytes));
    json.EndObject();
    json.Key("scheme").Utf8(exchange.Scheme());
    json.Key("server_connection").Integer(exchange.m_nServerConnection);
    json.Key("started").Utf8(UtcTime(exchange.m_Times.started));
    json.Key("status").Integer(exchange.m_nStatus);
    json.Key("timings");
    WriteTimings(json, ExchangePhases(exchange.m_Times));
    json.Key("url").Utf8(PrintableUrl(exchange)); // printable ASCII
    json.EndObject();
    text += '\n';
    return text;
}
