#include "app/HarBuilder.h"

#include "app/JsonWriter.h"
#include "http/AsciiCase.h"
#include "http/HttpHead.h"
#include "trace/Exchange.h"
#include "trace/ExchangeContent.h"
#include "trace/ExchangePhases.h"
#include "trace/ExchangeUrl.h"

#include <QDateTime>
#include <QSaveFile>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <cmath>
#include <cstdio>

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

void Headers(CJsonWriter& json, const SHttpHead& head)
{
    json.BeginArray();
    for (const SHttpHead::SField& field : head.fields)
        json.BeginObject().Key("name").Text(field.name).Key("value").Text(field.value).EndObject();
    json.EndArray();
}

// "a=1; b=2" from Cookie fields, the name and value before the first ";" of each Set-Cookie.
void Cookies(CJsonWriter& json, const SHttpHead& head, bool response)
{
    json.BeginArray();
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
            json.BeginObject().Key("name").Text(pair.substr(0, equals));
            json.Key("value").Text(pair.substr(equals + 1)).EndObject();
        }
    }
    json.EndArray();
}

// A body in the HAR's content or postData form is text when it is UTF-8, else base64.
bool IsBase64Body(const SExchangeContent& body) { return !IsUtf8(body.bytes); }

void BodyText(CJsonWriter& json, const SExchangeContent& body)
{
    json.Key("text");
    if (IsBase64Body(body))
        json.Base64(body.bytes);
    else
        json.Utf8(body.bytes);
}

// A body kept only in part says so.
void CutComment(CJsonWriter& json, const SExchangeBody& wire)
{
    if (wire.IsCut())
        json.Key("comment").Utf8("body cut: " + std::to_string(wire.bytes.size()) + " of "
                                 + std::to_string(wire.total) + " bytes kept");
}

// "2025-12-06T05:46:40.000Z", as QDateTime writes a UTC time to the millisecond, made here for
// the years 1970 to 9999 (Qt's civil calendar is the proleptic Gregorian one too).
std::string IsoUtcTime(std::int64_t msSinceEpoch)
{
    constexpr std::int64_t kMsPerDay = 86'400'000;
    constexpr std::int64_t kYear10000 = 253'402'300'800'000; // 10000-01-01T00:00:00Z
    if (msSinceEpoch < 0 || msSinceEpoch >= kYear10000)
        return QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::UTC)
            .toString(Qt::ISODateWithMs)
            .toStdString();
    const std::int64_t inDay = msSinceEpoch % kMsPerDay;
    // Days to a civil date (H. Hinnant's algorithm), the era starting on March 1st.
    const std::int64_t days = msSinceEpoch / kMsPerDay + 719'468;
    const std::int64_t era = days / 146'097;
    const std::int64_t dayOfEra = days - era * 146'097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    const int month =
        static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    const int year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    char text[80]; // room for any int, as the compiler counts
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year, month, day,
                  static_cast<int>(inDay / 3'600'000), static_cast<int>(inDay / 60'000 % 60),
                  static_cast<int>(inDay / 1000 % 60), static_cast<int>(inDay % 1000));
    return text;
}

// Milliseconds as HAR numbers, to the microsecond.
double Ms(double value)
{
    return value < 0 ? -1 : std::round(value * 1000) / 1000;
}

void QueryString(CJsonWriter& json, const std::string& url)
{
    json.BeginArray();
    if (url.find('?') != std::string::npos) {
        const QUrl parsed(QString::fromLatin1(url.data(), static_cast<qsizetype>(url.size())));
        for (const auto& [name, value] : QUrlQuery(parsed).queryItems(QUrl::FullyDecoded)) {
            json.BeginObject().Key("name").Utf8(name.toUtf8().toStdString());
            json.Key("value").Utf8(value.toUtf8().toStdString()).EndObject();
        }
    }
    json.EndArray();
}

// Each object's keys in the order of their bytes, as Qt's documents keep them.
void Request(CJsonWriter& json, const CExchange& exchange)
{
    const SHttpHead head = ParseHttpHead(exchange.m_strRequestHead);
    const std::string url = PrintableUrl(exchange);
    json.BeginObject();
    json.Key("bodySize").Integer(static_cast<std::int64_t>(exchange.m_RequestBody.total));
    json.Key("cookies");
    Cookies(json, head, false);
    json.Key("headers");
    Headers(json, head);
    json.Key("headersSize")
        .Integer(exchange.m_strRequestHead.empty()
                     ? -1
                     : static_cast<std::int64_t>(exchange.m_strRequestHead.size()));
    json.Key("httpVersion").Text(exchange.m_strVersion);
    json.Key("method").Text(exchange.m_strMethod);
    if (exchange.m_RequestBody.total > 0) {
        // postData has no encoding field of its own: "_encoding".
        const SExchangeContent body = RequestContent(exchange);
        json.Key("postData").BeginObject();
        if (IsBase64Body(body))
            json.Key("_encoding").Utf8("base64");
        CutComment(json, exchange.m_RequestBody);
        json.Key("mimeType").Text(head.Field("Content-Type"));
        BodyText(json, body);
        json.EndObject();
    }
    json.Key("queryString");
    QueryString(json, url);
    json.Key("url").Utf8(url); // printable ASCII
    json.EndObject();
}

void Response(CJsonWriter& json, const CExchange& exchange)
{
    const SHttpHead head = ParseHttpHead(exchange.m_strResponseHead);
    json.BeginObject();
    if (exchange.m_nStatus <= 0) {
        json.Key("bodySize").Integer(-1).Key("comment").Utf8("no response was traced");
        json.Key("content").BeginObject().Key("mimeType").Text(head.Field("Content-Type"));
        json.Key("size").Integer(0).EndObject();
        json.Key("cookies").BeginArray().EndArray().Key("headers").BeginArray().EndArray();
        json.Key("headersSize").Integer(-1).Key("httpVersion").Utf8("").Key("redirectURL").Utf8("");
        json.Key("status").Integer(0).Key("statusText").Utf8("");
        json.EndObject();
        return;
    }
    const SExchangeContent body = ResponseContent(exchange, DecodedLimit(exchange));
    const bool hasText = !body.bytes.empty() || exchange.m_ResponseBody.total > 0;
    json.Key("bodySize").Integer(static_cast<std::int64_t>(exchange.m_ResponseBody.total));
    json.Key("content").BeginObject();
    if (hasText)
        CutComment(json, exchange.m_ResponseBody);
    if (body.decoded)
        json.Key("compression")
            .Integer(static_cast<std::int64_t>(body.bytes.size())
                     - static_cast<std::int64_t>(exchange.m_ResponseBody.total));
    if (hasText && IsBase64Body(body))
        json.Key("encoding").Utf8("base64");
    json.Key("mimeType").Text(head.Field("Content-Type"));
    json.Key("size").Integer(static_cast<std::int64_t>(body.bytes.size()));
    if (hasText)
        BodyText(json, body);
    json.EndObject();
    json.Key("cookies");
    Cookies(json, head, true);
    json.Key("headers");
    Headers(json, head);
    json.Key("headersSize").Integer(static_cast<std::int64_t>(exchange.m_strResponseHead.size()));
    const std::string_view firstLine = head.firstLine;
    json.Key("httpVersion").Text(firstLine.substr(0, firstLine.find(' ')));
    json.Key("redirectURL").Text(head.Field("Location"));
    json.Key("status").Integer(exchange.m_nStatus);
    json.Key("statusText").Text(exchange.m_strReason);
    json.EndObject();
}

} // namespace

QByteArray CHarBuilder::EntryJson(const CExchange& exchange)
{
    if (exchange.Has(kExchangeTunnel) || EqualsNoCase(exchange.m_strMethod, "CONNECT"))
        return QByteArray();
    const SExchangePhases phases = ExchangePhases(exchange.m_Times);
    std::string comment =
        "exchange " + std::to_string(exchange.m_nId) + ", " + ExchangeEndName(exchange.m_nEnd);
    if (!exchange.m_strEndReason.empty())
        comment += ": " + exchange.m_strEndReason; // ASCII before it: as Latin-1 if it is not UTF-8
    if (exchange.Has(kExchangeDecrypted))
        comment += ", decrypted";
    if (exchange.Has(kExchangeReplay))
        comment += exchange.m_nReplayOf
                       ? ", replay of exchange " + std::to_string(exchange.m_nReplayOf)
                       : std::string(", replay");
    std::string out;
    out.reserve(2048 + exchange.m_ResponseBody.bytes.size() + exchange.m_RequestBody.bytes.size());
    CJsonWriter json(out);
    json.BeginObject();
    // The exchange's number, which a replay's link names (0: its original is unknown).
    json.Key("_exchangeId").Integer(static_cast<std::int64_t>(exchange.m_nId));
    if (exchange.Has(kExchangeReplay)) // sent again by Kestrune: the exchange it repeats
        json.Key("_replayOf").Integer(static_cast<std::int64_t>(exchange.m_nReplayOf));
    json.Key("cache").BeginObject().EndObject();
    json.Key("comment").Text(comment);
    json.Key("connection").Utf8(std::to_string(exchange.m_nServerConnection));
    json.Key("request");
    Request(json, exchange);
    json.Key("response");
    Response(json, exchange);
    json.Key("startedDateTime").Utf8(IsoUtcTime(exchange.m_Times.started / 1000));
    json.Key("time").Number(Ms(phases.Total()));
    json.Key("timings").BeginObject();
    json.Key("blocked").Number(Ms(phases.blocked)).Key("connect").Number(Ms(phases.connect));
    json.Key("dns").Number(Ms(phases.dns)).Key("receive").Number(Ms(phases.receive));
    json.Key("send").Number(Ms(phases.send)).Key("ssl").Number(Ms(phases.ssl));
    json.Key("wait").Number(Ms(phases.wait)).EndObject();
    json.EndObject();
    return QByteArray(out.data(), static_cast<qsizetype>(out.size()));
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
