#include "app/ExchangeLine.h"

#include "app/JsonText.h"
#include "http/AsciiCase.h"
#include "trace/Exchange.h"
#include "trace/ExchangeContent.h"
#include "trace/ExchangePhases.h"
#include "trace/ExchangeUrl.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <ctime>

namespace {

// Bodies up to this size are decoded on the spot to give their decoded size; a larger
// compressed body's decoded size is left out rather than spend the event loop's time on it.
constexpr std::size_t kMaxBodyDecodedForSize = 256 << 10;
constexpr std::uint64_t kMaxDecodedSize = 16 << 20;

// "2026-12-09T04:15:00.123456Z"; empty for 0.
QString UtcTime(std::int64_t microseconds)
{
    if (microseconds <= 0)
        return QString();
    const std::time_t seconds = static_cast<std::time_t>(microseconds / 1000000);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%06lldZ",
                  static_cast<long long>(microseconds % 1000000));
    return QString::fromLatin1(text);
}

double Ms(double value)
{
    return value < 0 ? -1 : std::round(value * 1000) / 1000;
}

// The response's content size, where it can be known cheaply: the body as it came when it has
// no coding, else decoded when it was kept whole and is small.
QJsonValue DecodedSize(const CExchange& exchange)
{
    const SExchangeBody& body = exchange.m_ResponseBody;
    const bool coded = !exchange.ResponseField("Transfer-Encoding").empty()
                       || (!exchange.ResponseField("Content-Encoding").empty()
                           && !EqualsNoCase(exchange.ResponseField("Content-Encoding"), "identity"));
    if (!coded)
        return static_cast<qint64>(body.total);
    if (body.IsCut() || body.bytes.size() > kMaxBodyDecodedForSize)
        return QJsonValue();
    const SExchangeContent content = ResponseContent(exchange, kMaxDecodedSize);
    const bool encoded = !exchange.ResponseField("Content-Encoding").empty()
                         && !EqualsNoCase(exchange.ResponseField("Content-Encoding"), "identity");
    if (!content.complete || (encoded && !content.decoded))
        return QJsonValue();
    return static_cast<qint64>(content.bytes.size());
}

QJsonArray Flags(const CExchange& exchange)
{
    QJsonArray flags;
    const std::pair<EExchangeFlag, const char*> kNames[] = {
        {kExchangeDecrypted, "decrypted"}, {kExchangeViaUpstream, "upstream"},
        {kExchangeTunnel, "tunnel"},       {kExchangeUpgraded, "upgraded"},
        {kExchangeReplay, "replay"}};
    for (const auto& [flag, name] : kNames) {
        if (exchange.Has(flag))
            flags.append(QString::fromLatin1(name));
    }
    return flags;
}

} // namespace

std::string FormatExchangeLine(const CExchange& exchange)
{
    const SExchangePhases phases = ExchangePhases(exchange.m_Times);
    QJsonObject response{
        {"head_bytes", static_cast<qint64>(exchange.m_strResponseHead.size())},
        {"body_bytes", static_cast<qint64>(exchange.m_ResponseBody.total)},
    };
    if (exchange.m_nStatus > 0) {
        const QJsonValue decoded = DecodedSize(exchange);
        if (!decoded.isNull())
            response["decoded_bytes"] = decoded;
    }
    if (exchange.m_nUnexpectedBytes > 0)
        response["unexpected_bytes"] = static_cast<qint64>(exchange.m_nUnexpectedBytes);
    QJsonObject line{
        {"id", static_cast<qint64>(exchange.m_nId)},
        {"browser_connection", exchange.m_nBrowserConnection},
        {"server_connection", exchange.m_nServerConnection},
        {"started", UtcTime(exchange.m_Times.started)},
        {"ended", UtcTime(exchange.m_Times.ended)},
        {"method", JsonText(exchange.m_strMethod)},
        {"url", QString::fromLatin1(PrintableUrl(exchange))},
        {"scheme", QString::fromLatin1(exchange.Scheme().data(), static_cast<qsizetype>(exchange.Scheme().size()))},
        {"host", JsonText(exchange.m_strHost)},
        {"port", exchange.m_nPort},
        {"status", exchange.m_nStatus},
        {"reason", JsonText(exchange.m_strReason)},
        {"request", QJsonObject{
            {"head_bytes", static_cast<qint64>(exchange.m_strRequestHead.size())},
            {"body_bytes", static_cast<qint64>(exchange.m_RequestBody.total)}}},
        {"response", response},
        {"timings", QJsonObject{
            {"blocked", Ms(phases.blocked)}, {"dns", Ms(phases.dns)}, {"connect", Ms(phases.connect)},
            {"ssl", Ms(phases.ssl)}, {"send", Ms(phases.send)}, {"wait", Ms(phases.wait)},
            {"receive", Ms(phases.receive)}, {"total", Ms(phases.Total())}}},
        {"end", QString::fromLatin1(ExchangeEndName(exchange.m_nEnd))},
        {"flags", Flags(exchange)},
    };
    if (!exchange.m_strEndReason.empty())
        line["end_reason"] = JsonText(exchange.m_strEndReason);
    if (exchange.Has(kExchangeReplay))
        line["replay_of"] = static_cast<qint64>(exchange.m_nReplayOf);
    std::string text = QJsonDocument(line).toJson(QJsonDocument::Compact).toStdString();
    text += '\n';
    return text;
}
