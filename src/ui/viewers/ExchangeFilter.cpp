#include "ui/viewers/ExchangeFilter.h"

#include "http/AsciiCase.h"
#include "trace/Exchange.h"
#include "trace/ListingFilter.h"
#include "ui/viewers/ExchangeCells.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool Holds(std::int64_t value, std::int64_t limit, int compare)
{
    switch (compare) {
    case 0: return value < limit;
    case 1: return value <= limit;
    case 2: return value == limit;
    case 3: return value >= limit;
    default: return value > limit;
    }
}

// The numbers a word shows for itself: the #, and the status once one came.
bool NumberContains(std::uint64_t number, std::string_view word)
{
    char text[24];
    const char* end = std::to_chars(text, text + sizeof text, number).ptr;
    return ContainsNoCase(std::string_view(text, static_cast<std::size_t>(end - text)), word);
}

} // namespace

bool CExchangeFilter::ParseMeasure(const std::string& word, STerm& term, std::string& error)
{
    const bool size = word.compare(0, 4, "size") == 0;
    std::string_view rest = std::string_view(word).substr(4);
    const char* example = size ? "size>100k" : "time>500ms";
    if (rest.compare(0, 2, ">=") == 0) {
        term.compare = Compare::GreaterEqual;
        rest.remove_prefix(2);
    } else if (rest.compare(0, 2, "<=") == 0) {
        term.compare = Compare::LessEqual;
        rest.remove_prefix(2);
    } else if (!rest.empty() && (rest[0] == '>' || rest[0] == '<' || rest[0] == '=')) {
        term.compare = rest[0] == '>' ? Compare::Greater : rest[0] == '<' ? Compare::Less : Compare::Equal;
        rest.remove_prefix(1);
    } else {
        error = std::string(size ? "size" : "time") + " needs a comparison, as " + example;
        return false;
    }
    std::int64_t number = 0;
    auto [last, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), number);
    const std::string unit = LowerAscii(std::string_view(last, static_cast<std::size_t>(rest.data() + rest.size() - last)));
    std::int64_t scale = -1;
    if (size)
        scale = unit.empty() || unit == "b" ? 1 : unit == "k" || unit == "kb" ? 1024
              : unit == "m" || unit == "mb" ? 1024 * 1024 : unit == "g" || unit == "gb" ? 1024LL * 1024 * 1024 : -1;
    else
        scale = unit.empty() || unit == "ms" ? 1000 : unit == "s" ? 1'000'000 : unit == "us" ? 1 : -1;
    if (ec != std::errc() || last == rest.data() || scale < 0 || number < 0 || number > INT64_MAX / scale) {
        error = std::string(size ? "size" : "time") + " needs a number and unit, as " + example;
        return false;
    }
    term.kind = size ? Kind::Size : Kind::Time;
    term.number = number * scale;
    return true;
}

CExchangeFilter CExchangeFilter::Parse(const std::string& text)
{
    CExchangeFilter filter;
    auto fail = [](std::string message) {
        CExchangeFilter bad;
        bad.m_strError = std::move(message);
        return bad;
    };
    for (std::string word : SplitFilterWords(text)) {

        STerm term;
        if (word[0] == '-') {
            term.negate = true;
            word.erase(0, 1);
            if (word.empty())
                return fail("- needs a term");
        }
        const std::string lower = LowerAscii(word);
        if ((lower.compare(0, 4, "size") == 0 || lower.compare(0, 4, "time") == 0) && lower.size() > 4
            && lower[4] != ':' && (lower[4] == '>' || lower[4] == '<' || lower[4] == '=')) {
            std::string error;
            if (!ParseMeasure(lower, term, error))
                return fail(error);
            filter.m_Terms.push_back(std::move(term));
            continue;
        }
        const std::size_t colon = word.find(':');
        const std::string key = colon == std::string::npos ? std::string() : lower.substr(0, colon);
        const std::string value = colon == std::string::npos ? lower : lower.substr(colon + 1);
        if (key == "host" || key == "method" || key == "status" || key == "text" || key == "type") {
            if (value.empty())
                return fail(key + ": needs a value");
            term.value = value;
            if (key == "host") {
                term.kind = Kind::Host;
            } else if (key == "method") {
                term.kind = Kind::Method;
            } else if (key == "text") {
                term.kind = Kind::Text;
            } else if (key == "type") {
                term.kind = Kind::Type;
            } else if (value.size() == 3 && IsDigit(value[0]) && value[1] == 'x' && value[2] == 'x') {
                term.kind = Kind::StatusClass;
                term.number = value[0] - '0';
            } else {
                term.kind = Kind::Status;
                auto [last, ec] = std::from_chars(value.data(), value.data() + value.size(), term.number);
                if (ec != std::errc() || last != value.data() + value.size() || value.size() != 3)
                    return fail("status: needs 404 or 4xx");
            }
        } else {
            term.value = lower; // "GET", "example.com/api" and "404" are words too
            term.digits = std::all_of(lower.begin(), lower.end(), IsDigit);
        }
        filter.m_Terms.push_back(std::move(term));
    }
    return filter;
}

bool CExchangeFilter::Matches(const CExchange& exchange) const
{
    for (const STerm& term : m_Terms) {
        if (MatchesTerm(term, exchange) == term.negate)
            return false;
    }
    return true;
}

bool CExchangeFilter::NeedsWholeExchange() const
{
    return std::any_of(m_Terms.begin(), m_Terms.end(),
                       [](const STerm& term) { return term.kind == Kind::Text; });
}

void CExchangeFilter::Prepare(const SExchangeTexts& texts)
{
    m_Tables.assign(m_Terms.size(), STables());
    for (std::size_t i = 0; i < m_Terms.size(); ++i) {
        const STerm& term = m_Terms[i];
        const bool word = term.kind == Kind::Word;
        auto table = [](const std::vector<std::string>& kept, auto holds) {
            std::vector<char> result(kept.size());
            for (std::size_t k = 0; k < kept.size(); ++k)
                result[k] = holds(kept[k]) ? 1 : 0;
            return result;
        };
        auto contains = [&term](const std::string& text) { return ContainsNoCase(text, term.value); };
        if (word || term.kind == Kind::Host)
            m_Tables[i].hosts = table(texts.hosts, contains);
        if (word || term.kind == Kind::Type)
            m_Tables[i].types = table(texts.types, contains);
        if (word)
            m_Tables[i].methods = table(texts.methods, contains);
        if (term.kind == Kind::Method)
            m_Tables[i].methods = table(texts.methods, [&term](const std::string& text) { return EqualsNoCase(text, term.value); });
    }
}

bool CExchangeFilter::Matches(const SExchangeKeys& keys, const CExchange& exchange) const
{
    for (std::size_t i = 0; i < m_Terms.size(); ++i) {
        if (MatchesTerm(i, keys, exchange) == m_Terms[i].negate)
            return false;
    }
    return true;
}

bool CExchangeFilter::MatchesTerm(std::size_t index, const SExchangeKeys& keys, const CExchange& exchange) const
{
    const STerm& term = m_Terms[index];
    const STables& tables = m_Tables[index];
    auto in = [](const std::vector<char>& table, std::size_t at) { return at < table.size() && table[at]; };
    switch (term.kind) {
    case Kind::Word:
        return in(tables.hosts, keys.host) || in(tables.types, keys.type) || in(tables.methods, keys.method)
               || (term.digits && keys.status > 0 && NumberContains(static_cast<std::uint64_t>(keys.status), term.value))
               || (term.digits && NumberContains(exchange.m_nId, term.value))
               || ContainsNoCase(ExchangePath(exchange), term.value);
    case Kind::Host:
        return in(tables.hosts, keys.host);
    case Kind::Type:
        return in(tables.types, keys.type);
    case Kind::Method:
        return in(tables.methods, keys.method);
    case Kind::Status:
        return keys.status == term.number;
    case Kind::StatusClass:
        return keys.status > 0 && keys.status / 100 == term.number;
    case Kind::Size:
        return Holds(keys.size, term.number, static_cast<int>(term.compare));
    case Kind::Time:
        return keys.duration >= 0 && Holds(keys.duration, term.number, static_cast<int>(term.compare));
    case Kind::Text:
        return MatchesTerm(term, exchange);
    }
    return false;
}

bool CExchangeFilter::MatchesTerm(const STerm& term, const CExchange& exchange) const
{
    switch (term.kind) {
    case Kind::Word:
        return ContainsNoCase(exchange.m_strHost, term.value) || ContainsNoCase(ExchangePath(exchange), term.value)
               || ContainsNoCase(exchange.m_strMethod, term.value)
               || ContainsNoCase(ExchangeMimeType(exchange), term.value) || NumberContains(exchange.m_nId, term.value)
               || (exchange.m_nStatus > 0 && NumberContains(static_cast<std::uint64_t>(exchange.m_nStatus), term.value));
    case Kind::Host:
        return ContainsNoCase(exchange.m_strHost, term.value);
    case Kind::Method:
        return EqualsNoCase(exchange.m_strMethod, term.value);
    case Kind::Status:
        return exchange.m_nStatus == term.number;
    case Kind::StatusClass:
        return exchange.m_nStatus > 0 && exchange.m_nStatus / 100 == term.number;
    case Kind::Text:
        return ContainsNoCase(exchange.m_strRequestHead, term.value)
               || ContainsNoCase(exchange.m_strResponseHead, term.value)
               || ContainsNoCase(exchange.m_RequestBody.bytes, term.value)
               || ContainsNoCase(exchange.m_ResponseBody.bytes, term.value);
    case Kind::Type:
        return ContainsNoCase(ExchangeMimeType(exchange), term.value);
    case Kind::Size:
        return Holds(static_cast<std::int64_t>(exchange.m_ResponseBody.total), term.number,
                     static_cast<int>(term.compare));
    case Kind::Time: {
        const std::int64_t duration = ExchangeDurationUs(exchange);
        return duration >= 0 && Holds(duration, term.number, static_cast<int>(term.compare));
    }
    }
    return false;
}
