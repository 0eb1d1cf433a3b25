#pragma once
#include <cstdint>
#include <string>
#include <vector>

class CExchange;

// What the Exchanges table keeps of each exchange to filter and sort without reading it: its
// numbers, and its host, MIME type and method as numbers of texts it keeps once each.
struct SExchangeKeys {
    std::int64_t size = 0;      // response body bytes
    std::int64_t duration = -1; // microseconds; -1 while open
    std::int64_t started = 0;
    std::uint64_t pathHigh = 0; // the path's first 16 bytes, as numbers that sort as they do
    std::uint64_t pathLow = 0;
    std::uint32_t host = 0;
    std::uint16_t type = 0;
    std::uint16_t method = 0;
    std::int16_t status = 0;
    bool open = true;
};
// The kept texts, by number.
struct SExchangeTexts {
    std::vector<std::string> hosts;
    std::vector<std::string> types;
    std::vector<std::string> methods;
};

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
    // A text: term reads the heads and bodies; the others what a table row shows.
    bool NeedsWholeExchange() const;
    bool Matches(const CExchange& exchange) const;
    // The same from the keys of an exchange that has ended, reading the exchange itself only
    // for what they do not hold (a word's path, text:). Prepare first, with the texts that the
    // keys' numbers name.
    void Prepare(const SExchangeTexts& texts);
    bool Matches(const SExchangeKeys& keys, const CExchange& exchange) const;

private:
    enum class Kind { Word, Host, Method, Status, StatusClass, Text, Type, Size, Time };
    enum class Compare { Less, LessEqual, Equal, GreaterEqual, Greater };
    struct STerm {
        Kind kind = Kind::Word;
        bool negate = false;
        std::string value;     // lower case
        std::int64_t number = 0; // status, class digit, bytes or microseconds
        Compare compare = Compare::Equal;
        bool digits = false;   // a word of digits only: it may be part of a number
    };
    static bool ParseMeasure(const std::string& word, STerm& term, std::string& error);
    bool MatchesTerm(const STerm& term, const CExchange& exchange) const;
    bool MatchesTerm(std::size_t index, const SExchangeKeys& keys, const CExchange& exchange) const;
    // Per term, per kept text: whether the term holds for it (host:, type:, method:, words).
    struct STables {
        std::vector<char> hosts, types, methods;
    };
    std::vector<STables> m_Tables;

    std::vector<STerm> m_Terms;
    std::string m_strError;
};
