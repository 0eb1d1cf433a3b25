#include "trace/TraceExchanges.h"

#include "http/AsciiCase.h"
#include "trace/TraceRecord.h"

#include <algorithm>

std::string RequestUrl(const SRequestLine& line, const SHttpHead& head)
{
    const std::string_view target = line.target;
    if (target.find("://") != std::string_view::npos)
        return std::string(target);
    if (EqualsNoCase(line.method, "CONNECT"))
        return "https://" + std::string(target) + "/";
    std::string url = "http://";
    url += head.Field("Host");
    url += target.empty() || target.front() != '/' ? "/" : "";
    url += target == "*" ? std::string_view() : target;
    return url;
}

bool StartsRequest(const CTraceRecord& record)
{
    if (record.GetDirection() != ETraceDirection::Sent || record.GetPart() != ETracePart::Header
        || record.IsSSL())
        return false;
    // Sent body chunks may be marked as header parts too: only a request line starts one.
    const std::string& text = record.GetText();
    SRequestLine line;
    return ParseRequestLine(std::string_view(text).substr(0, text.find_first_of("\r\n")), line);
}

bool StartsResponse(const CTraceRecord& record)
{
    // A header continued from the previous chunk does not start with a status line.
    return record.GetDirection() == ETraceDirection::Received
           && record.GetPart() == ETracePart::Header && !record.IsSSL()
           && record.GetHeader().compare(0, 5, "HTTP/") == 0;
}

STraceExchanges PairExchanges(std::span<const CTraceRecord* const> records)
{
    STraceExchanges result;
    result.recordExchange.assign(records.size(), -1);
    int requests = 0;
    int finals = 0;       // final responses seen
    int sentTo = -1;      // exchange of the latest request
    int receivedTo = -1;  // exchange that the latest received records belong to
    for (std::size_t i = 0; i < records.size(); ++i) {
        const CTraceRecord& record = *records[i];
        int exchange = -1;
        if (record.GetDirection() == ETraceDirection::Sent) {
            if (StartsRequest(record)) {
                sentTo = requests++;
                if (static_cast<int>(result.exchanges.size()) < requests)
                    result.exchanges.resize(static_cast<std::size_t>(requests));
                result.exchanges[static_cast<std::size_t>(sentTo)].request = static_cast<int>(i);
            }
            exchange = sentTo;
        } else {
            if (StartsResponse(record)) {
                const int code = ParseStatusCode(
                    std::string_view(record.GetHeader()).substr(0, record.GetHeader().find_first_of("\r\n")));
                receivedTo = finals;
                if (code < 100 || code >= 200 || code == 101) {
                    ++finals;
                    if (static_cast<int>(result.exchanges.size()) < finals)
                        result.exchanges.resize(static_cast<std::size_t>(finals));
                    result.exchanges[static_cast<std::size_t>(receivedTo)].response = static_cast<int>(i);
                }
            }
            exchange = receivedTo;
        }
        result.recordExchange[i] = exchange;
    }
    // A record counted against an answer that never got a slot (an interim answer at the end).
    if (result.exchanges.size() < static_cast<std::size_t>(std::max(sentTo, receivedTo) + 1))
        result.exchanges.resize(static_cast<std::size_t>(std::max(sentTo, receivedTo) + 1));
    return result;
}

STracedMessage TracedRequest(std::span<const CTraceRecord* const> records,
                             const STraceExchanges& pairs, std::size_t exchange)
{
    STracedMessage message;
    const int start = pairs.exchanges[exchange].request;
    if (start < 0)
        return message;
    std::string all;
    for (std::size_t i = static_cast<std::size_t>(start); i < records.size(); ++i) {
        if (records[i]->GetDirection() != ETraceDirection::Sent
            || pairs.recordExchange[i] != static_cast<int>(exchange))
            continue;
        if (!message.first)
            message.first = records[i];
        message.last = records[i];
        message.bodyIsText = message.bodyIsText && !records[i]->IsBinary();
        message.bodyBytes += records[i]->GetByteCount();
        all += records[i]->GetText();
    }
    // A request's header and body are traced as one text; the header ends at the blank line.
    const std::size_t headSize = ParseHttpHead(all).size;
    message.head = all.substr(0, headSize);
    message.body = all.substr(headSize);
    message.bodyBytes = std::max<std::int64_t>(0, message.bodyBytes - static_cast<std::int64_t>(headSize));
    return message;
}

STracedMessage TracedResponse(std::span<const CTraceRecord* const> records,
                              const STraceExchanges& pairs, std::size_t exchange)
{
    STracedMessage message;
    const int start = pairs.exchanges[exchange].response;
    if (start < 0)
        return message;
    std::int64_t bytes = 0;
    for (std::size_t i = static_cast<std::size_t>(start); i < records.size(); ++i) {
        if (records[i]->GetDirection() != ETraceDirection::Received
            || pairs.recordExchange[i] != static_cast<int>(exchange))
            continue;
        const CTraceRecord& record = *records[i];
        if (!message.first)
            message.first = &record;
        message.last = &record;
        // A header cut between chunks goes on in the header text of the next one; the cut
        // chunk's last byte sits in its display text.
        message.head += record.GetHeader();
        (record.IsHeaderIncomplete() ? message.head : message.body) += record.GetText();
        message.bodyIsText = message.bodyIsText && !record.IsBinary();
        bytes += record.GetByteCount();
    }
    message.bodyBytes = std::max<std::int64_t>(0, bytes - static_cast<std::int64_t>(message.head.size()));
    return message;
}
