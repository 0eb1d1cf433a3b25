#pragma once
#include "trace/Exchange.h"

#include <cstdint>
#include <string>
#include <string_view>

// An exchange's fields but its bodies' bytes in one byte string: what the `packed` column of
// `exchange_rows` holds (docs/session-format.md). A row of 34 bound columns cost the recording
// more than the rest of the exchange's way through the writer; one blob and the two bodies
// cost a few appends.
namespace ExchangePack {
// Each body as the file keeps it beside the pack: its sizes and whether its bytes are zstd.
struct SBodySizes {
    std::int64_t kept = 0;
    std::int64_t total = 0;
    bool zstd = false;
};

// Appends the exchange's fields (its heads as given: the caller hides what must not be
// written) to `packed`.
void Append(const CExchange& exchange, std::string_view requestHead,
            std::string_view forwardedHead, const SBodySizes& request,
            const SBodySizes& response, std::string& packed);

// An exchange's fields as read: numbers and times in `exchange` (its byte strings and bodies
// left empty), byte strings viewed in the packed bytes (valid while those are).
struct SFields {
    CExchange exchange;
    SBodySizes request, response;
    std::string_view host, method, target, version, requestHead, forwardedHead, reason,
        responseHead, endReason;
};

// The fields of an exchange of number `id`; false with what is wrong for bytes that do not hold
// exactly one exchange.
bool Read(std::string_view packed, std::int64_t id, SFields& fields, std::string& problem);

// The fields back into `exchange` (bodies' bytes untouched), their sizes into the two; false
// with what is wrong for bytes that do not hold exactly one exchange of that number.
bool Unpack(std::string_view packed, std::int64_t id, CExchange& exchange, SBodySizes& request,
            SBodySizes& response, std::string& problem);
} // namespace ExchangePack
