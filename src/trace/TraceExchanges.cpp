#include "trace/TraceExchanges.h"

#include "trace/AsciiCase.h"
#include "trace/TraceRecord.h"

#include <algorithm>

namespace {

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

bool IsTokenChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
           || c == '_' || c == '.' || c == '!' || c == '~' || c == '*' || c == '+' || c == '#'
           || c == '$' || c == '%' || c == '&' || c == '^' || c == '`' || c == '|' || c == '\'';
}

} // namespace

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size()
           && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

bool ContainsNoCase(std::string_view text, std::string_view lowerNeedle)
{
    if (lowerNeedle.empty())
        return true;
    if (text.size() < lowerNeedle.size())
        return false;
    const char first = lowerNeedle.front();
    const std::size_t last = text.size() - lowerNeedle.size();
    for (std::size_t i = 0; i <= last; ++i) {
        if (LowerAscii(text[i]) != first)
            continue;
        std::size_t k = 1;
        while (k < lowerNeedle.size() && LowerAscii(text[i + k]) == lowerNeedle[k])
            ++k;
        if (k == lowerNeedle.size())
            return true;
    }
    return false;
}

std::string_view SHttpHead::Field(std::string_view name) const
{
    for (const SField& field : fields) {
        if (EqualsNoCase(field.name, name))
            return field.value;
    }
    return {};
}

SHttpHead ParseHttpHead(std::string_view text)
{
    SHttpHead head;
    std::size_t pos = 0;
    bool first = true;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        const bool lastLine = end == std::string_view::npos;
        if (lastLine)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        pos = lastLine ? end : end + 1;
        if (first) {
            head.firstLine = line;
            first = false;
            continue;
        }
        if (line.empty() && !lastLine) {
            head.complete = true;
            break;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            continue; // not a field: kept out of the list, still counted in the size
        head.fields.push_back({Trim(line.substr(0, colon)), Trim(line.substr(colon + 1))});
    }
    head.size = pos;
    return head;
}

std::string_view FindHeaderField(std::string_view text, std::string_view name)
{
    std::size_t pos = text.find('\n');
    while (pos != std::string_view::npos && pos + 1 < text.size()) {
        const std::size_t start = pos + 1;
        std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
        if (line.empty() || line == "\r")
            break; // the blank line ends the header
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && EqualsNoCase(Trim(line.substr(0, colon)), name))
            return Trim(line.substr(colon + 1));
        pos = end;
    }
    return {};
}

bool ParseRequestLine(std::string_view line, SRequestLine& out)
{
    const std::size_t space1 = line.find(' ');
    if (space1 == std::string_view::npos || space1 == 0)
        return false;
    const std::size_t space2 = line.rfind(' ');
    if (space2 <= space1 + 1)
        return false;
    const std::string_view method = line.substr(0, space1);
    const std::string_view version = line.substr(space2 + 1);
    if (!std::all_of(method.begin(), method.end(), IsTokenChar) || version.substr(0, 5) != "HTTP/")
        return false;
    out.method = method;
    out.target = line.substr(space1 + 1, space2 - space1 - 1);
    out.version = version;
    return true;
}

int ParseStatusCode(std::string_view line)
{
    const std::size_t space = line.find(' ');
    if (line.substr(0, 5) != "HTTP/" || space == std::string_view::npos || line.size() < space + 4)
        return -1;
    int code = 0;
    for (std::size_t i = space + 1; i < space + 4; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return -1;
        code = code * 10 + (line[i] - '0');
    }
    if (line.size() > space + 4 && line[space + 4] != ' ')
        return -1;
    return code;
}

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
