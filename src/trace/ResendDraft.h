#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class CExchange;
struct SResendRequest;

// What the Edit and Resend editor holds: a request as the user sees and changes it. Compose
// turns it into a request the relay can send, or says what is wrong with it; nothing invalid
// is ever sent.
struct SResendDraft {
    std::string method;
    std::string url; // http:// or https://, a host, an optional port, then path and query
    std::vector<std::pair<std::string, std::string>> fields; // in the order they go
    std::string body;                                        // the content, without transfer coding
    bool lengthSetByUser = false; // Content-Length stays as the fields have it
    bool bodyCut = false;         // the recorded body was not kept whole: only its start is here

    // Pre-filled from a recorded exchange: a chunked body is given as its content, its
    // Transfer-Encoding field turned into a Content-Length that follows the body.
    static SResendDraft FromExchange(const CExchange& exchange);

    // False, with a message for the user, for a method that is no token, a URL without a
    // host (or with a bad port, blanks or user info), a field name with a non-token byte, a
    // field value with a line break, or framing fields the relay would not trust.
    bool Compose(std::uint64_t replayOf, SResendRequest& request, std::string& error) const;
};

// Bytes as hex text, 16 to a line ("48 65 6c 6c 6f").
std::string HexText(std::string_view bytes);
// Hex text back to bytes: pairs of hex digits, blanks and line ends between them. False for
// any other character or an odd digit count.
bool ParseHexText(std::string_view text, std::string& bytes);
