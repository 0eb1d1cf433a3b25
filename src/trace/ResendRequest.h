#pragma once
#include <cstdint>
#include <string>

class CExchange;

// A request that Kestrune sends by itself (a replay, or one edited by the user): where it goes
// and the head and body as the browser (or the editor) made them. The relay's server side
// routes, rewrites and records it as it would the browser's request.
struct SResendRequest {
    bool https = false;
    std::string host; // the origin's name or address (no brackets)
    std::uint16_t port = 0;
    std::string method;
    std::string target;         // as the head's request line has it
    std::string version;        // "HTTP/1.1"
    std::string head;           // through its blank line
    std::string body;           // as it goes on the wire, its transfer coding included
    std::uint64_t replayOf = 0; // the exchange it sends again; 0 for none
};

// The request of a recorded exchange, unchanged. False, with why, for one that cannot go again:
// a tunnel, no head or route recorded, a body that was not kept whole.
bool ResendOfExchange(const CExchange& exchange, SResendRequest& request, std::string& error);
