#pragma once
#include <cstdint>
#include "http/AsciiCase.h"
#include "http/HttpHead.h"
#include <span>
#include <string>
#include <string_view>
#include <vector>

class CTraceRecord;

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
