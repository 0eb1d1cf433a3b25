#include "app/ReplayFilter.h"

#include "http/AsciiCase.h"
#include "trace/Exchange.h"

#include <charconv>
#include <sstream>

namespace {
bool StartsWith(const std::string& text, const char* prefix, std::string& rest)
{
    const std::string_view p(prefix);
    if (text.size() < p.size() || LowerAscii(text.substr(0, p.size())) != p)
        return false;
    rest = text.substr(p.size());
    return true;
}
} // namespace

bool CReplayFilter::Parse(const std::string& text, std::string& error)
{
    m_Terms.clear();
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        STerm term;
        if (word.size() > 1 && word[0] == '-') {
            term.negate = true;
            word.erase(0, 1);
        }
        std::string rest;
        if (StartsWith(word, "host:", rest)) {
            term.kind = Kind::Host;
        } else if (StartsWith(word, "method:", rest)) {
            term.kind = Kind::Method;
        } else if (StartsWith(word, "status:", rest)) {
            const bool isClass = rest.size() == 3 && (rest[1] == 'x' || rest[1] == 'X')
                                 && (rest[2] == 'x' || rest[2] == 'X');
            const std::size_t digits = isClass ? 1 : rest.size();
            auto [end, ec] = std::from_chars(rest.data(), rest.data() + digits, term.number);
            if (rest.size() != 3 || ec != std::errc() || end != rest.data() + digits
                || (isClass ? term.number < 1 || term.number > 5 : term.number < 100)) {
                error = "bad filter term " + word + ": status: takes a code (404) or a class (4xx)";
                return false;
            }
            term.kind = isClass ? Kind::StatusClass : Kind::Status;
        } else {
            rest = word;
        }
        if (rest.empty()) {
            error = "bad filter term " + word + ": it names nothing";
            return false;
        }
        term.value = LowerAscii(rest);
        m_Terms.push_back(std::move(term));
    }
    return true;
}

bool CReplayFilter::Matches(const CExchange& exchange) const
{
    for (const STerm& term : m_Terms) {
        if (MatchesTerm(term, exchange) == term.negate)
            return false;
    }
    return true;
}

bool CReplayFilter::MatchesTerm(const STerm& term, const CExchange& exchange) const
{
    switch (term.kind) {
    case Kind::Host:
        return ContainsNoCase(exchange.Authority(), term.value);
    case Kind::Method:
        return EqualsNoCase(exchange.m_strMethod, term.value);
    case Kind::Status:
        return exchange.m_nStatus == term.number;
    case Kind::StatusClass:
        return exchange.m_nStatus / 100 == term.number;
    case Kind::Url:
        return ContainsNoCase(exchange.Url(), term.value);
    }
    return false;
}
