#pragma once
#include <cstdint>
#include "trace/AsciiCase.h"
#include <span>
#include <string>
#include <string_view>
#include <vector>

class CTraceRecord;

// A header as it was traced: its first line, its fields, and where it ends.
struct SHttpHead {
    struct SField {
        std::string_view name;
        std::string_view value; // without surrounding blanks
    };
    std::string_view firstLine; // without its line end
    std::vector<SField> fields;
    std::size_t size = 0;       // bytes through the blank line; the whole text when it has none
    bool complete = false;      // the blank line was found

    // The first field of that name (ASCII case ignored); empty when there is none.
    std::string_view Field(std::string_view name) const;
};
SHttpHead ParseHttpHead(std::string_view text);
// The value of the first field of that name in a header text, without building the field list.
std::string_view FindHeaderField(std::string_view text, std::string_view name);

// "METHOD target HTTP/x.y"; false for anything else.
struct SRequestLine {
    std::string_view method;
    std::string_view target;
    std::string_view version;
};
bool ParseRequestLine(std::string_view line, SRequestLine& out);

// The status code of "HTTP/x.y NNN reason"; -1 for anything else.
int ParseStatusCode(std::string_view line);

// The address the browser asked for: an absolute target as it is, else "http://" with the
// Host field and the target.
std::string RequestUrl(const SRequestLine& line, const SHttpHead& head);

// The requests and responses of one connection, paired by order: the nth final response
// answers the nth request (interim 1xx answers other than 101 belong to the request they
// precede).
struct STraceExchanges {
    struct SExchange {
        int request = -1;  // index of the request's first record; -1 for an answer without one
        int response = -1; // index of the final response's header record; -1 while none came
    };
    std::vector<SExchange> exchanges;
    std::vector<int> recordExchange; // per record; -1 for records before any request or answer
};
STraceExchanges PairExchanges(std::span<const CTraceRecord* const> records);

// One side of a pair as the trace holds it.
struct STracedMessage {
    std::string head;           // header text through its blank line
    std::string body;           // the body's text; meaningful only when bodyIsText
    bool bodyIsText = true;     // false when a record of the body is binary
    std::int64_t bodyBytes = 0; // bytes after the header, as they went through
    const CTraceRecord* first = nullptr; // null when the side is missing
    const CTraceRecord* last = nullptr;
};
STracedMessage TracedRequest(std::span<const CTraceRecord* const> records,
                             const STraceExchanges& pairs, std::size_t exchange);
STracedMessage TracedResponse(std::span<const CTraceRecord* const> records,
                              const STraceExchanges& pairs, std::size_t exchange);

// Whether a record starts a request or a response of the connection.
bool StartsRequest(const CTraceRecord& record);
bool StartsResponse(const CTraceRecord& record);

// ASCII case-insensitive comparisons for names, methods and filter words.
bool EqualsNoCase(std::string_view a, std::string_view b);
// Whether text holds needle, which must already be in lower case.
bool ContainsNoCase(std::string_view text, std::string_view lowerNeedle);
