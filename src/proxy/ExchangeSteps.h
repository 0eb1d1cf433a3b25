#pragma once
#include "trace/Exchange.h"

#include <cstdint>
#include <memory>
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

// A new exchange for a request head, numbered and kept by the store when there is one. It is
// one the relay let go of before when one is at hand, emptied, its texts' buffers kept: the
// relay makes one per request, and their heads are much alike.
std::shared_ptr<CExchange> StartExchange(CTraceStore* store);
// The relay lets go of a finished exchange. When no one else holds it, it is kept (a few at
// most) for StartExchange; exchange is empty afterwards either way.
void RecycleExchange(std::shared_ptr<CExchange>& exchange);
