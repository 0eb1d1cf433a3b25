#include "trace/ListingFilter.h"

#include "http/AsciiCase.h"
#include "trace/Exchange.h"
#include "trace/ExchangeUrl.h"
#include "trace/TraceRecord.h"

#include <charconv>

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Whether a needle could sit across the end of the header and the start of the display text.
bool ContainsAcross(const std::string& header, const std::string& text, const std::string& needle)
{
    if (header.empty() || text.empty() || needle.size() < 2)
        return false;
    const std::size_t keep = needle.size() - 1;
    std::string seam = header.substr(header.size() - std::min(keep, header.size()));
    seam += text.substr(0, keep);
    return ContainsNoCase(seam, needle);
}

} // namespace

SExchangeFacts SExchangeFacts::Of(const CExchange& exchange)
{
    SExchangeFacts facts;
    facts.method = exchange.m_strMethod;
    facts.host = LowerAscii(exchange.Authority());
    facts.status = exchange.m_nStatus > 0 ? exchange.m_nStatus : -1;
    return facts;
}

std::vector<std::string> SplitFilterWords(const std::string& text)
{
    std::vector<std::string> words;
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t'))
            ++pos;
        std::size_t end = pos;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t')
            ++end;
        if (end > pos)
            words.emplace_back(text, pos, end - pos);
        pos = end;
    }
    return words;
}

CListingFilter CListingFilter::Parse(const std::string& text)
{
    CListingFilter filter;
    for (std::string word : SplitFilterWords(text)) {

        STerm term{Kind::Word, false, {}};
        if (word[0] == '-') {
            term.negate = true;
            word.erase(0, 1);
            if (word.empty()) {
                filter = CListingFilter();
                filter.m_strError = "- needs a term";
                return filter;
            }
        }
        const std::size_t colon = word.find(':');
        const std::string key = colon == std::string::npos ? std::string() : LowerAscii(word.substr(0, colon));
        const std::string value = colon == std::string::npos ? word : word.substr(colon + 1);
        auto fail = [&](std::string message) {
            CListingFilter bad;
            bad.m_strError = std::move(message);
            return bad;
        };
        if (key == "host" || key == "method" || key == "status" || key == "text") {
            if (value.empty())
                return fail(key + ": needs a value");
            term.value = LowerAscii(value);
            if (key == "host") {
                term.kind = Kind::Host;
            } else if (key == "method") {
                term.kind = Kind::Method;
            } else if (key == "text") {
                term.kind = Kind::Text;
            } else if (value.size() == 3 && IsDigit(value[0]) && (value[1] == 'x' || value[1] == 'X')
                       && (value[2] == 'x' || value[2] == 'X')) {
                term.kind = Kind::StatusClass;
                term.number = value[0] - '0';
            } else {
                term.kind = Kind::Status;
                auto [last, ec] = std::from_chars(value.data(), value.data() + value.size(), term.number);
                if (ec != std::errc() || last != value.data() + value.size() || value.size() != 3)
                    return fail("status: needs 404 or 4xx");
            }
            filter.m_bNeedsExchanges = filter.m_bNeedsExchanges || term.kind != Kind::Text;
            filter.m_bNeedsWholeText = filter.m_bNeedsWholeText || term.kind == Kind::Text;
        } else {
            term.value = LowerAscii(word); // "14:03" and "http://..." are words too
        }
        filter.m_Terms.push_back(std::move(term));
    }
    return filter;
}

bool CListingFilter::Matches(const CTraceRecord& record, const SExchangeFacts* facts) const
{
    for (const STerm& term : m_Terms) {
        if (MatchesTerm(term, record, facts) == term.negate)
            return false;
    }
    return true;
}

bool CListingFilter::MatchesTerm(const STerm& term, const CTraceRecord& record,
                                 const SExchangeFacts* facts) const
{
    switch (term.kind) {
    case Kind::Word:
        return MatchesWord(term.value, record);
    case Kind::Text:
        return ContainsNoCase(record.GetHeader(), term.value) || ContainsNoCase(record.GetText(), term.value)
               || ContainsAcross(record.GetHeader(), record.GetText(), term.value);
    default:
        return MatchesFacts(term, facts);
    }
}

bool CListingFilter::MatchesFacts(const STerm& term, const SExchangeFacts* facts)
{
    switch (term.kind) {
    case Kind::Host:
        return facts && ContainsNoCase(facts->host, term.value);
    case Kind::Method:
        return facts && EqualsNoCase(facts->method, term.value);
    case Kind::Status:
        return facts && facts->status == term.number;
    case Kind::StatusClass:
        return facts && facts->status / 100 == term.number;
    default:
        return false;
    }
}

bool CListingFilter::Matches(const CExchange& exchange) const
{
    const SExchangeFacts facts = SExchangeFacts::Of(exchange);
    for (const STerm& term : m_Terms) {
        bool matched = false;
        if (term.kind == Kind::Word) {
            matched = ContainsNoCase(exchange.m_strMethod, term.value)
                      || ContainsNoCase(PrintableUrl(exchange), term.value)
                      || (facts.status > 0 && ContainsNoCase(std::to_string(facts.status), term.value))
                      || ContainsNoCase(ExchangeEndName(exchange.m_nEnd), term.value);
        } else if (term.kind == Kind::Text) {
            matched = ContainsNoCase(exchange.m_strRequestHead, term.value)
                      || ContainsNoCase(exchange.m_RequestBody.bytes, term.value)
                      || ContainsNoCase(exchange.m_strResponseHead, term.value)
                      || ContainsNoCase(exchange.m_ResponseBody.bytes, term.value);
        } else {
            matched = MatchesFacts(term, &facts);
        }
        if (matched == term.negate)
            return false;
    }
    return true;
}

bool CListingFilter::MatchesWord(const std::string& word, const CTraceRecord& record) const
{
    if (ContainsNoCase(record.GetSummary(), word))
        return true;
    // The ID text, made without an allocation: two numbers of at most 11 characters.
    char id[32];
    char* end = std::to_chars(id, id + 12, record.GetConnectionId()).ptr;
    end[0] = '-';
    end = std::to_chars(end + 1, end + 13, record.GetSequence()).ptr;
    if (ContainsNoCase(std::string_view(id, static_cast<std::size_t>(end - id)), word))
        return true;
    if (record.GetTimeCaptured() != m_cachedTime) {
        m_cachedTime = record.GetTimeCaptured();
        m_cachedTimeText = record.GetTimeText();
    }
    return ContainsNoCase(m_cachedTimeText, word);
}
