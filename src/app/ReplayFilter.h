#pragma once
#include <string>
#include <vector>

class CExchange;

// Which exchanges a headless replay sends: the Listing's exchange words over the recorded
// exchanges. Terms separated by blanks must all hold: host:NAME (part of the host),
// method:NAME, status:404 or status:4xx, and any other word a part of the URL (ASCII case
// ignored); a leading "-" negates a term. (The Listing's own filter works on records in the
// window's layer; this one reads exchanges only.)
class CReplayFilter {
public:
    // False with the message for a bad term.
    bool Parse(const std::string& text, std::string& error);
    bool Matches(const CExchange& exchange) const;

private:
    enum class Kind { Url, Host, Method, Status, StatusClass };
    struct STerm {
        Kind kind = Kind::Url;
        bool negate = false;
        std::string value; // lower case
        int number = 0;    // status code, or the class digit
    };
    bool MatchesTerm(const STerm& term, const CExchange& exchange) const;

    std::vector<STerm> m_Terms;
};
