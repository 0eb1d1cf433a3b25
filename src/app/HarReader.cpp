#include "app/HarReader.h"

#include "trace/Exchange.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>

#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace {
// A HAR holds at most this much: a larger file is refused rather than read into memory.
constexpr qint64 kMaxHarBytes = qint64(1) << 30;

std::string Bytes(const QJsonValue& value) { return value.toString().toStdString(); }

// "Name: value" lines of a HAR header list, through the blank line. HTTP/2 pseudo-fields
// (":authority") have no place in an HTTP/1 head. The body is kept decoded, as HAR holds it,
// so the codings that would describe other bytes are left out.
std::string Head(const std::string& firstLine, const QJsonArray& headers)
{
    std::string head = firstLine + "\r\n";
    for (const QJsonValue& header : headers) {
        const std::string name = Bytes(header["name"]);
        const QString lower = header["name"].toString().toLower();
        if (name.empty() || name[0] == ':' || lower == "content-encoding" ||
            lower == "transfer-encoding")
            continue;
        head += name + ": " + Bytes(header["value"]) + "\r\n";
    }
    return head + "\r\n";
}

// The number Kestrune gave the entry's exchange: "_exchangeId", or in files of older versions
// the start of the comment ("exchange 12, complete"); 0 when the entry has none.
qint64 IdOfFile(const QJsonObject& entry)
{
    if (entry["_exchangeId"].isDouble())
        return entry["_exchangeId"].toInteger();
    static const QRegularExpression oldComment("^exchange (\\d+),");
    const QRegularExpressionMatch match = oldComment.match(entry["comment"].toString());
    return match.hasMatch() ? match.captured(1).toLongLong() : 0;
}

std::string Version(const QJsonValue& value)
{
    const QString version = value.toString().toUpper();
    return version.startsWith("HTTP/") ? version.toStdString() : "HTTP/1.1";
}

// A body as HAR gives it: text, or base64 when "encoding" says so; cut to what an exchange
// keeps, the total counting every byte.
SExchangeBody Body(const QJsonObject& content)
{
    QByteArray bytes = content["text"].toString().toUtf8();
    if (content["encoding"].toString() == "base64" || content["_encoding"].toString() == "base64")
        bytes = QByteArray::fromBase64(bytes);
    SExchangeBody body;
    body.total = static_cast<std::uint64_t>(bytes.size());
    bytes.truncate(static_cast<qsizetype>(CExchange::kMaxKeptBody));
    body.bytes = bytes.toStdString();
    return body;
}

// Microseconds since the epoch of a HAR time; 0 for none.
std::int64_t Micros(const QJsonValue& value)
{
    const QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    return time.isValid() ? time.toMSecsSinceEpoch() * 1000 : 0;
}

// The steps of HAR timings (milliseconds, -1 for a step that did not happen) laid on the clock.
void Times(const QJsonObject& timings, std::int64_t started, SExchangeTimes& times)
{
    times.started = started;
    double at = 0;
    const auto step = [&](const char* name) {
        const double ms = timings[name].toDouble(-1);
        if (ms < 0)
            return std::int64_t(0);
        at += ms;
        return started + static_cast<std::int64_t>(at * 1000);
    };
    step("blocked");
    times.resolved = step("dns");
    times.connected = step("connect");
    times.tlsDone = timings["ssl"].toDouble(-1) >= 0 ? times.connected : 0; // ssl is within connect
    times.requestSent = step("send");
    times.firstByte = step("wait");
    times.ended = step("receive");
    if (!times.ended)
        times.ended = started + static_cast<std::int64_t>(at * 1000);
}

// A record as the trace would have made it of these bytes, dated and tied to its exchange.
std::unique_ptr<CTraceRecord> Record(CTraceConnection& entry, ETraceDirection direction,
                                     const std::string& chunk, const CExchange& exchange)
{
    const int sequence = static_cast<int>(entry.GetRecords().size()) + 1;
    CTraceRecord made(entry.GetId(), sequence, direction, ETracePart::Header, chunk, false, false);
    STraceRecordFields fields = made.GetFields();
    fields.captured = static_cast<std::time_t>(exchange.m_Times.started / 1000000);
    fields.exchange = exchange.m_nId;
    const std::int64_t end = direction == ETraceDirection::Sent ? exchange.m_Times.ended : 0;
    fields.elapsed = end ? static_cast<std::int32_t>((end - exchange.m_Times.started) / 1000) : 0;
    return std::make_unique<CTraceRecord>(fields);
}
} // namespace

bool CHarReader::Read(const QString& path, CTraceStore& store, std::string& error)
{
    const std::string name = path.toStdString();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = "cannot open " + name + ": " + file.errorString().toStdString();
        return false;
    }
    if (file.size() > kMaxHarBytes) {
        error = name + " is larger than a HAR file Kestrune reads (1 GiB)";
        return false;
    }
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parse);
    const QJsonValue entries = document["log"]["entries"];
    if (parse.error != QJsonParseError::NoError || !entries.isArray()) {
        error = name + " is not a HAR file" +
                (parse.error != QJsonParseError::NoError
                     ? ": " + parse.errorString().toStdString() + " at byte " +
                           std::to_string(parse.offset)
                     : std::string(" (no log.entries)"));
        return false;
    }
    std::map<QString, CTraceConnection*> entriesByConnection;
    int lastEntry = 0;
    std::uint64_t id = 0;
    // Entries are numbered anew from 1: a replay's link names its original by the number the
    // file gives it, which becomes the original's new number once every entry is read.
    std::map<qint64, std::uint64_t> idsOfFile;
    std::vector<std::pair<CExchange*, qint64>> replays;
    for (const QJsonValue& value : entries.toArray()) {
        const QJsonObject request = value["request"].toObject();
        const QJsonObject response = value["response"].toObject();
        const QUrl url(request["url"].toString());
        if (!url.isValid() || url.host().isEmpty()) {
            error = name + ": entry " + std::to_string(id + 1) + " has no URL Kestrune can read";
            return false;
        }
        auto exchange = std::make_shared<CExchange>();
        CExchange& e = *exchange;
        e.m_nId = ++id;
        e.m_bHttps = url.scheme() == "https";
        e.m_strHost = url.host().toStdString();
        e.m_nPort = static_cast<std::uint16_t>(url.port(e.m_bHttps ? 443 : 80));
        e.m_strMethod = Bytes(request["method"]);
        e.m_strTarget = url.path(QUrl::FullyEncoded).toStdString();
        if (e.m_strTarget.empty())
            e.m_strTarget = "/";
        if (url.hasQuery())
            e.m_strTarget += "?" + url.query(QUrl::FullyEncoded).toStdString();
        e.m_strVersion = Version(request["httpVersion"]);
        e.m_strRequestHead = Head(e.m_strMethod + " " + e.m_strTarget + " " + e.m_strVersion,
                                  request["headers"].toArray());
        e.m_RequestBody = Body(request["postData"].toObject());
        e.m_nStatus = response["status"].toInt();
        e.m_strReason = Bytes(response["statusText"]);
        if (e.m_nStatus > 0)
            e.m_strResponseHead = Head(Version(response["httpVersion"]) + " " +
                                           std::to_string(e.m_nStatus) + " " + e.m_strReason,
                                       response["headers"].toArray());
        e.m_ResponseBody = Body(response["content"].toObject());
        Times(value["timings"].toObject(), Micros(value["startedDateTime"]), e.m_Times);
        e.m_nEnd = e.m_nStatus > 0 ? EExchangeEnd::Complete : EExchangeEnd::OriginAborted;
        e.m_strEndReason = Bytes(response["_error"]);
        if (const qint64 idOfFile = IdOfFile(value.toObject()); idOfFile > 0)
            idsOfFile.emplace(idOfFile, e.m_nId);
        if (value["_replayOf"].isDouble()) {
            e.m_nFlags |= kExchangeReplay;
            replays.emplace_back(&e, value["_replayOf"].toInteger());
        }

        // Entries of one HAR connection share a trace entry, as they shared a connection.
        QString connection = value["connection"].toString();
        if (connection.isEmpty())
            connection = "entry " + QString::number(e.m_nId);
        CTraceConnection*& entry = entriesByConnection[connection];
        if (!entry)
            entry = store.AdoptConnection(++lastEntry, false);
        e.m_nServerConnection = entry->GetId();
        entry->AdoptRecord(Record(*entry, ETraceDirection::Sent,
                                  e.m_strRequestHead + e.m_RequestBody.bytes, e));
        if (e.m_nStatus > 0)
            entry->AdoptRecord(Record(*entry, ETraceDirection::Received,
                                      e.m_strResponseHead + e.m_ResponseBody.bytes, e));
        store.AdoptExchange(std::move(exchange));
    }
    for (const auto& [replay, originalOfFile] : replays) {
        const auto original = idsOfFile.find(originalOfFile);
        replay->m_nReplayOf =
            original == idsOfFile.end() ? 0 : original->second; // 0: not in the file
    }
    return true;
}
