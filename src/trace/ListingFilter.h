#pragma once
#include <ctime>
#include <string>
#include <vector>

class CExchange;
class CTraceRecord;

// What the filter knows of the exchange that a row belongs to, as the relay routed it.
struct SExchangeFacts {
    std::string method; // as sent
    std::string host;   // lower case, the routed authority (port when not the scheme's own)
    int status = -1;    // final status code; -1 while none came

    static SExchangeFacts Of(const CExchange& exchange);
};

// The words of a filter text: what lies between spaces and tabs, in order.
std::vector<std::string> SplitFilterWords(const std::string& text);

// The Listing's filter: terms separated by blanks, all of which a row must satisfy.
// A word matches the summary, ID or time (ASCII case ignored); host:NAME (part of the host),
// method:NAME and status:404 or status:4xx look at the row's exchange; text:WORD searches the
// record's whole text; a leading "-" negates a term. The same terms select exchanges.
class CListingFilter {
public:
    // An empty text gives the filter that keeps every row. On a bad term the result keeps every
    // row and GetError() says what is wrong.
    static CListingFilter Parse(const std::string& text);

    bool IsEmpty() const { return m_Terms.empty(); }
    bool NeedsExchanges() const { return m_bNeedsExchanges; }
    // A text: term reads the whole text of a record (and the bodies of an exchange).
    bool NeedsWholeText() const { return m_bNeedsWholeText; }
    const std::string& GetError() const { return m_strError; }

    // facts may be null for a row outside any exchange.
    bool Matches(const CTraceRecord& record, const SExchangeFacts* facts) const;
    // An exchange: a word matches its method, URL, status or end state ("truncated"); text:
    // searches its heads and kept bodies.
    bool Matches(const CExchange& exchange) const;

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
    static bool MatchesFacts(const STerm& term, const SExchangeFacts* facts);

    std::vector<STerm> m_Terms;
    bool m_bNeedsExchanges = false;
    bool m_bNeedsWholeText = false;
    std::string m_strError;
    // The time text of the last capture time asked for: neighbouring rows share their second.
    mutable std::time_t m_cachedTime = -1;
    mutable std::string m_cachedTimeText;
};
