#include "proxy/ExchangeSteps.h"

#include "trace/TraceStore.h"

#include <algorithm>
#include <ctime>

// An exchange costs its fixed part and the shared pointer's block beyond what its heads and
// bodies hold; keep that within 512 bytes.
static_assert(sizeof(CExchange) + 2 * sizeof(void*) <= 512, "an exchange outgrew its budget");

std::int64_t ExchangeNow()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

namespace {
// A kept body past this size gets the room of the largest kept body at once: growing it by
// doubling would copy its bytes about twice more and touch twice the pages (the room not
// written is address space only, and given back when the exchange ends).
constexpr std::size_t kLargeKeptBody = 1 << 20;

// A large body's unused room goes when it can grow no more.
void FitKeptBody(SExchangeBody& body)
{
    const std::size_t room = body.bytes.capacity() - body.bytes.size();
    if (body.bytes.capacity() > kLargeKeptBody && room > kLargeKeptBody)
        body.bytes.shrink_to_fit();
}
} // namespace

void AddBodyBytes(SExchangeBody& body, std::string_view bytes, bool keep)
{
    body.total += bytes.size();
    if (!keep || body.bytes.size() >= CExchange::kMaxKeptBody)
        return;
    bytes = bytes.substr(0, CExchange::kMaxKeptBody - body.bytes.size());
    const std::size_t size = body.bytes.size() + bytes.size();
    if (size > body.bytes.capacity() && size > kLargeKeptBody)
        body.bytes.reserve(CExchange::kMaxKeptBody);
    body.bytes.append(bytes);
}

bool EndExchange(CTraceStore* store, CExchange& exchange, EExchangeEnd end, std::string reason)
{
    if (HasEnded(exchange))
        return false;
    if (exchange.m_nEnd == EExchangeEnd::Open) {
        exchange.m_nEnd = end;
        exchange.m_strEndReason = std::move(reason);
    }
    // Never 0: that marks an exchange still going on.
    exchange.m_Times.ended = std::max<std::int64_t>(ExchangeNow(), 1);
    FitKeptBody(exchange.m_RequestBody);
    FitKeptBody(exchange.m_ResponseBody);
    if (store)
        store->FinishExchange(exchange);
    return true;
}
