#pragma once
#include "trace/Exchange.h"

#include <cstdint>
#include <string>
#include <string_view>

class CTraceStore;

// The relay's small steps on an exchange: the clock its times are read from, its bounded
// bodies, and its one end.

// Microseconds on the wall clock, as SExchangeTimes holds them.
std::int64_t ExchangeNow();

// Counts body bytes; keeps them (up to CExchange::kMaxKeptBody) only when someone reads
// exchanges back.
void AddBodyBytes(SExchangeBody& body, std::string_view bytes, bool keep);

// Ends the exchange once: the end state (unless one was set already), the time, and the store
// told. False when it had ended before.
bool EndExchange(CTraceStore* store, CExchange& exchange, EExchangeEnd end,
                 std::string reason = std::string());

// Whether the exchange has ended (EndExchange has run for it).
inline bool HasEnded(const CExchange& exchange)
{
    return exchange.m_Times.ended != 0;
}
