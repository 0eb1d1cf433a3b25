#pragma once
#include <ctime>
#include <string>
#include <vector>

class CTraceRecord;

// What the filter knows of the request/response pair that a row belongs to.
struct SExchangeFacts {
    std::string method; // as sent
    std::string host;   // lower case, port included when the request named one
    int status = -1;    // final status code; -1 while none came
};

// The Listing's filter: terms separated by blanks, all of which a row must satisfy.
// A word matches the summary, ID or time (ASCII case ignored); host:NAME (part of the host),
// method:NAME and status:404 or status:4xx look at the row's request/response pair;
// text:WORD searches the record's whole text; a leading "-" negates a term.
class CListingFilter {
public:
    // An empty text gives the filter that keeps every row. On a bad term the result keeps every
    // row and GetError() says what is wrong.
    static CListingFilter Parse(const std::string& text);

    bool IsEmpty() const { return m_Terms.empty(); }
    bool NeedsExchanges() const { return m_bNeedsExchanges; }
    const std::string& GetError() const { return m_strError; }

    // facts may be null for a row outside any pair.
    bool Matches(const CTraceRecord& record, const SExchangeFacts* facts) const;

private:
    enum class Kind { Word, Host, Method, Status, StatusClass, Text };
    struct STerm {
        Kind kind;
        bool negate;
        std::string value; // lower case
        int number = 0;    // status code, or the class digit
    };
    bool MatchesTerm(const STerm& term, const CTraceRecord& record,
                     const SExchangeFacts* facts) const;
    bool MatchesWord(const std::string& word, const CTraceRecord& record) const;

    std::vector<STerm> m_Terms;
    bool m_bNeedsExchanges = false;
    std::string m_strError;
    // The time text of the last capture time asked for: neighbouring rows share their second.
    mutable std::time_t m_cachedTime = -1;
    mutable std::string m_cachedTimeText;
};
