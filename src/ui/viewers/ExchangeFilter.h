#pragma once
#include <cstdint>
#include <string>
#include <vector>

class CExchange;

// The Exchanges page's filter: the Listing's language over exchanges. Terms are separated by
// blanks and all must hold. A word matches the #, method, host, path, status or type (ASCII
// case ignored); host:NAME (part of the host), method:NAME, status:404 or status:4xx,
// text:WORD (the heads and kept bodies), type:json (part of the MIME type), size>100k (the
// response body; b, k, m, g in 1024s) and time>500ms (ms or s); sizes and times also take <,
// >=, <= and =. A leading "-" negates a term.
class CExchangeFilter {
public:
    // An empty text keeps every exchange. On a bad term the result keeps every exchange and
    // GetError() says what is wrong.
    static CExchangeFilter Parse(const std::string& text);

    bool IsEmpty() const { return m_Terms.empty(); }
    const std::string& GetError() const { return m_strError; }
    bool Matches(const CExchange& exchange) const;

private:
    enum class Kind { Word, Host, Method, Status, StatusClass, Text, Type, Size, Time };
    enum class Compare { Less, LessEqual, Equal, GreaterEqual, Greater };
    struct STerm {
        Kind kind = Kind::Word;
        bool negate = false;
        std::string value;     // lower case
        std::int64_t number = 0; // status, class digit, bytes or microseconds
        Compare compare = Compare::Equal;
    };
    static bool ParseMeasure(const std::string& word, STerm& term, std::string& error);
    bool MatchesTerm(const STerm& term, const CExchange& exchange) const;

    std::vector<STerm> m_Terms;
    std::string m_strError;
};
