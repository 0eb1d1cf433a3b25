#include "app/HarBuilder.h"

#include "app/JsonText.h"
#include "http/AsciiCase.h"
#include "http/HttpHead.h"
#include "trace/Exchange.h"
#include "trace/ExchangeContent.h"
#include "trace/ExchangePhases.h"
#include "trace/ExchangeUrl.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <cmath>

namespace {

// The most decoded bytes a response's content gets in the HAR.
constexpr std::uint64_t kMaxDecodedContent = 64u << 20;
// A body that decodes to more than this many times its size goes into the HAR as it came:
// otherwise a few kilobytes of a compression bomb become megabytes of the file (and of the
// writer's memory) for every response. Small bodies may always expand to the allowance.
constexpr std::uint64_t kMaxExpansion = 100;
constexpr std::uint64_t kDecodedAllowance = 1u << 20;

std::uint64_t DecodedLimit(const CExchange& exchange)
{
    return std::min(kMaxDecodedContent,
                    std::max(kDecodedAllowance, kMaxExpansion * exchange.m_ResponseBody.total));
}

QJsonArray Headers(const SHttpHead& head)
{
    QJsonArray headers;
    for (const SHttpHead::SField& field : head.fields)
        headers.append(QJsonObject{{"name", JsonText(field.name)}, {"value", JsonText(field.value)}});
    return headers;
}

// "a=1; b=2" from Cookie fields, the name and value before the first ";" of each Set-Cookie.
QJsonArray Cookies(const SHttpHead& head, bool response)
{
    QJsonArray cookies;
    for (const SHttpHead::SField& field : head.fields) {
        if (!EqualsNoCase(field.name, response ? "Set-Cookie" : "Cookie"))
            continue;
        std::string_view rest = field.value;
        while (!rest.empty()) {
            std::size_t end = rest.find(';');
            std::string_view pair = rest.substr(0, end);
            rest = end == std::string_view::npos || response ? std::string_view() : rest.substr(end + 1);
            while (!pair.empty() && pair.front() == ' ')
                pair.remove_prefix(1);
            const std::size_t equals = pair.find('=');
            if (pair.empty() || equals == std::string_view::npos)
                continue;
            cookies.append(QJsonObject{{"name", JsonText(pair.substr(0, equals))},
                                       {"value", JsonText(pair.substr(equals + 1))}});
        }
    }
    return cookies;
}

// A body in the HAR's content or postData form: text when it is UTF-8, else base64 (postData
// has no encoding field of its own: "_encoding"). A body kept only in part says so.
void PutBody(QJsonObject& content, const SExchangeContent& body, const SExchangeBody& wire,
             bool postData)
{
    if (IsUtf8(body.bytes)) {
        content["text"] = QString::fromUtf8(body.bytes.data(), static_cast<qsizetype>(body.bytes.size()));
    } else {
        content["text"] = QString::fromLatin1(
            QByteArray(body.bytes.data(), static_cast<qsizetype>(body.bytes.size())).toBase64());
        content[postData ? "_encoding" : "encoding"] = QStringLiteral("base64");
    }
    if (wire.IsCut())
        content["comment"] = QStringLiteral("body cut: %1 of %2 bytes kept")
                                 .arg(wire.bytes.size())
                                 .arg(wire.total);
}

// Milliseconds as HAR numbers, to the microsecond.
double Ms(double value)
{
    return value < 0 ? -1 : std::round(value * 1000) / 1000;
}

QJsonObject Request(const CExchange& exchange)
{
    const SHttpHead head = ParseHttpHead(exchange.m_strRequestHead);
    const QString url = QString::fromLatin1(PrintableUrl(exchange));
    QJsonArray query;
    for (const auto& [name, value] : QUrlQuery(QUrl(url)).queryItems(QUrl::FullyDecoded))
        query.append(QJsonObject{{"name", name}, {"value", value}});
    QJsonObject request{
        {"method", JsonText(exchange.m_strMethod)},
        {"url", url},
        {"httpVersion", JsonText(exchange.m_strVersion)},
        {"cookies", Cookies(head, false)},
        {"headers", Headers(head)},
        {"queryString", query},
        {"headersSize", exchange.m_strRequestHead.empty() ? qint64(-1)
                                                           : static_cast<qint64>(exchange.m_strRequestHead.size())},
        {"bodySize", static_cast<qint64>(exchange.m_RequestBody.total)},
    };
    if (exchange.m_RequestBody.total > 0) {
        QJsonObject postData{{"mimeType", JsonText(head.Field("Content-Type"))}};
        PutBody(postData, RequestContent(exchange), exchange.m_RequestBody, true);
        request["postData"] = postData;
    }
    return request;
}

QJsonObject Response(const CExchange& exchange)
{
    const SHttpHead head = ParseHttpHead(exchange.m_strResponseHead);
    QJsonObject content{{"mimeType", JsonText(head.Field("Content-Type"))}};
    if (exchange.m_nStatus <= 0) {
        content["size"] = 0;
        return QJsonObject{{"status", 0}, {"statusText", ""}, {"httpVersion", ""},
                           {"cookies", QJsonArray()}, {"headers", QJsonArray()},
                           {"content", content}, {"redirectURL", ""}, {"headersSize", -1},
                           {"bodySize", -1}, {"comment", "no response was traced"}};
    }
    const SExchangeContent body = ResponseContent(exchange, DecodedLimit(exchange));
    content["size"] = static_cast<qint64>(body.bytes.size());
    if (body.decoded)
        content["compression"] = static_cast<qint64>(body.bytes.size())
                                 - static_cast<qint64>(exchange.m_ResponseBody.total);
    if (!body.bytes.empty() || exchange.m_ResponseBody.total > 0)
        PutBody(content, body, exchange.m_ResponseBody, false);
    const std::string_view firstLine = head.firstLine;
    return QJsonObject{
        {"status", exchange.m_nStatus},
        {"statusText", JsonText(exchange.m_strReason)},
        {"httpVersion", JsonText(firstLine.substr(0, firstLine.find(' ')))},
        {"cookies", Cookies(head, true)},
        {"headers", Headers(head)},
        {"content", content},
        {"redirectURL", JsonText(head.Field("Location"))},
        {"headersSize", static_cast<qint64>(exchange.m_strResponseHead.size())},
        {"bodySize", static_cast<qint64>(exchange.m_ResponseBody.total)},
    };
}

} // namespace

QByteArray CHarBuilder::EntryJson(const CExchange& exchange)
{
    if (exchange.Has(kExchangeTunnel) || EqualsNoCase(exchange.m_strMethod, "CONNECT"))
        return QByteArray();
    const SExchangePhases phases = ExchangePhases(exchange.m_Times);
    QString comment = QStringLiteral("exchange %1, %2").arg(exchange.m_nId).arg(ExchangeEndName(exchange.m_nEnd));
    if (!exchange.m_strEndReason.empty())
        comment += ": " + JsonText(exchange.m_strEndReason);
    if (exchange.Has(kExchangeDecrypted))
        comment += QStringLiteral(", decrypted");
    if (exchange.Has(kExchangeReplay))
        comment += exchange.m_nReplayOf
                       ? QStringLiteral(", replay of exchange %1").arg(exchange.m_nReplayOf)
                       : QStringLiteral(", replay");
    QJsonObject entry{
        {"startedDateTime", QDateTime::fromMSecsSinceEpoch(exchange.m_Times.started / 1000, Qt::UTC)
                                .toString(Qt::ISODateWithMs)},
        {"time", Ms(phases.Total())},
        {"request", Request(exchange)},
        {"response", Response(exchange)},
        {"cache", QJsonObject()},
        {"timings", QJsonObject{{"blocked", Ms(phases.blocked)}, {"dns", Ms(phases.dns)},
                                {"connect", Ms(phases.connect)}, {"ssl", Ms(phases.ssl)},
                                {"send", Ms(phases.send)}, {"wait", Ms(phases.wait)},
                                {"receive", Ms(phases.receive)}}},
        {"connection", QString::number(exchange.m_nServerConnection)},
        {"comment", comment},
    };
    // The exchange's number, which a replay's link names (0: its original is unknown).
    entry["_exchangeId"] = static_cast<qint64>(exchange.m_nId);
    if (exchange.Has(kExchangeReplay)) // sent again by Kestrune: the exchange it repeats
        entry["_replayOf"] = static_cast<qint64>(exchange.m_nReplayOf);
    return QJsonDocument(entry).toJson(QJsonDocument::Compact);
}

QByteArray CHarBuilder::DocumentStart()
{
    return QByteArrayLiteral("{\"log\":{\"version\":\"1.2\",\"creator\":{\"name\":\"Kestrune\",\"version\":\"")
           + KESTRUNE_VERSION + QByteArrayLiteral("\"},\"entries\":[\n");
}

QByteArray CHarBuilder::DocumentEnd()
{
    return QByteArrayLiteral("\n]}}\n");
}

void CHarBuilder::AddExchange(const CExchange& exchange)
{
    const QByteArray entry = EntryJson(exchange);
    if (entry.isEmpty())
        return;
    if (m_nEntries++ > 0)
        m_Entries += ",\n";
    m_Entries += entry;
}

QByteArray CHarBuilder::ToJson() const
{
    return DocumentStart() + m_Entries + DocumentEnd();
}

bool CHarBuilder::WriteFile(const QString& path) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // The trace may hold cookies and credentials.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray json = ToJson();
    return file.write(json) == json.size() && file.commit();
}
