#include "app/HarBuilder.h"

#include "http/MessageFraming.h"
#include "trace/TraceConnection.h"
#include "trace/TraceExchanges.h"
#include "trace/TraceRecord.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStringDecoder>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <vector>

namespace {

QString FromBytes(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool IsUtf8(std::string_view text)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString decoded = decoder.decode(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
    return !decoder.hasError();
}

QJsonArray Headers(const SHttpHead& head)
{
    QJsonArray headers;
    for (const SHttpHead::SField& field : head.fields)
        headers.append(QJsonObject{{"name", FromBytes(field.name)}, {"value", FromBytes(field.value)}});
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
            cookies.append(QJsonObject{{"name", FromBytes(pair.substr(0, equals))},
                                       {"value", FromBytes(pair.substr(equals + 1))}});
        }
    }
    return cookies;
}

// The body of a chunked message without its framing, read as the relay reads it; the text as
// it is when it is not framed that way or the framing is cut short.
std::string Unchunk(const std::string& body)
{
    CBodyFramer framer;
    framer.Start(CBodyFraming{EBodyKind::Chunked, 0, true}, true);
    std::string data;
    framer.Consume(body, &data);
    return framer.IsDone() ? data : body;
}

// A body in the HAR's content or postData form: text when the trace holds it as text, in
// base64 when that text is not UTF-8 (postData has no encoding field of its own: "_encoding").
void PutBody(QJsonObject& content, const STracedMessage& message, const std::string& text, bool postData)
{
    if (!message.bodyIsText) {
        content["comment"] = QStringLiteral("binary body: the trace keeps its size only");
        return;
    }
    if (IsUtf8(text)) {
        content["text"] = FromBytes(text);
    } else {
        content["text"] = QString::fromLatin1(QByteArray(text.data(), static_cast<qsizetype>(text.size())).toBase64());
        content[postData ? "_encoding" : "encoding"] = QStringLiteral("base64");
    }
}

qint64 Elapsed(std::uint32_t from, std::uint32_t to)
{
    return std::max<qint64>(0, static_cast<std::int32_t>(to - from));
}

QJsonObject Entry(const CTraceConnection& connection, std::span<const CTraceRecord* const> records,
                  const STraceExchanges& pairs, std::size_t index)
{
    const STracedMessage request = TracedRequest(records, pairs, index);
    const STracedMessage response = TracedResponse(records, pairs, index);
    const SHttpHead requestHead = ParseHttpHead(request.head);
    SRequestLine line;
    ParseRequestLine(requestHead.firstLine, line);

    const QString url = FromBytes(RequestUrl(line, requestHead));
    QJsonArray query;
    for (const auto& [name, value] : QUrlQuery(QUrl(url)).queryItems(QUrl::FullyDecoded))
        query.append(QJsonObject{{"name", name}, {"value", value}});

    QJsonObject harRequest{
        {"method", FromBytes(line.method)},
        {"url", url},
        {"httpVersion", FromBytes(line.version)},
        {"cookies", Cookies(requestHead, false)},
        {"headers", Headers(requestHead)},
        {"queryString", query},
        {"headersSize", static_cast<qint64>(requestHead.size)},
        {"bodySize", static_cast<qint64>(request.bodyBytes)},
    };
    if (request.bodyBytes > 0) {
        QJsonObject postData{{"mimeType", FromBytes(requestHead.Field("Content-Type"))}};
        PutBody(postData, request, request.body, true);
        if (!postData.contains("text"))
            postData["text"] = QString();
        harRequest["postData"] = postData;
    }

    QJsonObject entry;
    const SHttpHead responseHead = ParseHttpHead(response.head);
    QJsonObject content{{"mimeType", FromBytes(responseHead.Field("Content-Type"))}};
    if (response.first) {
        const std::string_view status = responseHead.firstLine;
        const std::size_t space = status.find(' ');
        const std::size_t reason = status.find(' ', space + 1);
        std::string text = response.body;
        if (EqualsNoCase(responseHead.Field("Transfer-Encoding"), "chunked"))
            text = Unchunk(text);
        content["size"] = response.bodyIsText ? static_cast<qint64>(text.size()) : static_cast<qint64>(response.bodyBytes);
        PutBody(content, response, text, false);
        entry["response"] = QJsonObject{
            {"status", ParseStatusCode(status)},
            {"statusText", reason == std::string_view::npos ? QString() : FromBytes(status.substr(reason + 1))},
            {"httpVersion", FromBytes(status.substr(0, space))},
            {"cookies", Cookies(responseHead, true)},
            {"headers", Headers(responseHead)},
            {"content", content},
            {"redirectURL", FromBytes(responseHead.Field("Location"))},
            {"headersSize", static_cast<qint64>(response.head.size())},
            {"bodySize", static_cast<qint64>(response.bodyBytes)},
        };
    } else {
        content["size"] = 0;
        entry["response"] = QJsonObject{
            {"status", 0}, {"statusText", ""}, {"httpVersion", ""}, {"cookies", QJsonArray()},
            {"headers", QJsonArray()}, {"content", content}, {"redirectURL", ""},
            {"headersSize", -1}, {"bodySize", -1}, {"comment", "no response was traced"}};
    }

    // Ticks: the request's own building, the wait for the first answer, the rest of it.
    const CTraceRecord& first = *request.first;
    const qint64 send = Elapsed(first.GetStartTick(), request.last->GetEndTick());
    const qint64 wait = response.first ? Elapsed(request.last->GetEndTick(), response.first->GetStartTick()) : 0;
    const qint64 receive = response.first ? Elapsed(response.first->GetStartTick(), response.last->GetEndTick()) : 0;
    entry["startedDateTime"] = QDateTime::fromSecsSinceEpoch(first.GetTimeCaptured(), Qt::UTC)
                                   .toString(Qt::ISODateWithMs);
    entry["time"] = send + wait + receive;
    entry["request"] = harRequest;
    entry["cache"] = QJsonObject();
    entry["timings"] = QJsonObject{{"send", send}, {"wait", wait}, {"receive", receive}};
    entry["connection"] = QString::number(connection.GetId());
    entry["comment"] = FromBytes(first.GetIdText());
    return entry;
}

} // namespace

void CHarBuilder::AddConnection(const CTraceConnection& connection)
{
    if (connection.IsSSL())
        return; // a tunnel's records are counts of encrypted bytes
    std::vector<const CTraceRecord*> records;
    records.reserve(connection.GetRecords().size());
    for (const auto& record : connection.GetRecords())
        records.push_back(record.get());
    const STraceExchanges pairs = PairExchanges(records);
    for (std::size_t i = 0; i < pairs.exchanges.size(); ++i) {
        if (pairs.exchanges[i].request >= 0)
            m_Entries.append(Entry(connection, records, pairs, i));
    }
}

void CHarBuilder::AddEntries(const QJsonArray& entries)
{
    for (const QJsonValue& entry : entries)
        m_Entries.append(entry);
}

QByteArray CHarBuilder::ToJson() const
{
    const QJsonObject log{
        {"version", "1.2"},
        {"creator", QJsonObject{{"name", "Kestrune"}, {"version", KESTRUNE_VERSION}}},
        {"entries", m_Entries},
    };
    return QJsonDocument(QJsonObject{{"log", log}}).toJson(QJsonDocument::Indented);
}

bool CHarBuilder::WriteFile(const QString& path) const
{
    QSaveFile file(path);
    // Its headers may carry credentials and cookies: the owner's alone, as the key file is.
    if (!file.open(QIODevice::WriteOnly)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return false;
    const QByteArray json = ToJson();
    return file.write(json) == json.size() && file.commit();
}
