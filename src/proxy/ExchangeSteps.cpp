#include "proxy/ExchangeSteps.h"

#include "trace/TraceStore.h"

#include <algorithm>
#include <cassert>
#include <ctime>
#include <vector>

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

namespace {
// Exchanges let go of, ready for the next request heads. The relay runs on the event loop's
// thread only, as every exchange it makes does.
constexpr std::size_t kRecycledExchanges = 8;
// A text's buffer past this size is not kept for the next exchange: bodies and long heads go.
constexpr std::size_t kKeptTextCapacity = 4096;

std::vector<std::shared_ptr<CExchange>>& RecycledExchanges()
{
    static std::vector<std::shared_ptr<CExchange>> recycled;
    return recycled;
}

// A text emptied, its buffer kept when of usual size (bodies and long heads let theirs go).
void EmptyText(std::string& text)
{
    if (text.capacity() > kKeptTextCapacity)
        std::string().swap(text);
    else
        text.clear();
}

// Every field as a new exchange has it, set in place: the strings keep their buffers of usual
// size, and nothing is destroyed and made again. A field added to the exchange is reset here too
// (the size check below fails until it is).
#if defined(__x86_64__) && defined(__GLIBCXX__)
static_assert(sizeof(CExchange) == 496, "the exchange has a new field: reset it in Empty too");
#endif
void Empty(CExchange& exchange)
{
    exchange.m_nId = 0;
    exchange.m_nBrowserConnection = 0;
    exchange.m_nServerConnection = 0;
    exchange.m_bHttps = false;
    exchange.m_nPort = 0;
    exchange.m_nFlags = 0;
    exchange.m_nReplayOf = 0;
    exchange.m_nStatus = 0;
    exchange.m_nUnexpectedBytes = 0;
    exchange.m_Times = SExchangeTimes();
    exchange.m_nEnd = EExchangeEnd::Open;
    exchange.m_bBodiesDropped = false;
    for (std::string* text : {&exchange.m_strHost, &exchange.m_strMethod, &exchange.m_strTarget,
                              &exchange.m_strVersion, &exchange.m_strRequestHead,
                              &exchange.m_strForwardedHead, &exchange.m_RequestBody.bytes,
                              &exchange.m_strReason, &exchange.m_strResponseHead,
                              &exchange.m_ResponseBody.bytes, &exchange.m_strEndReason})
        EmptyText(*text);
    exchange.m_RequestBody.total = 0;
    exchange.m_ResponseBody.total = 0;
    assert(exchange == CExchange());
}
} // namespace

std::shared_ptr<CExchange> StartExchange(CTraceStore* store)
{
    auto& recycled = RecycledExchanges();
    std::shared_ptr<CExchange> exchange;
    if (recycled.empty()) {
        exchange = std::make_shared<CExchange>();
    } else {
        exchange = std::move(recycled.back());
        recycled.pop_back();
    }
    return store ? store->AddExchange(std::move(exchange)) : exchange;
}

void RecycleExchange(std::shared_ptr<CExchange>& exchange)
{
    auto& recycled = RecycledExchanges();
    // Held by no one else: neither the store, an observer's copy, nor another step of the relay.
    if (exchange && exchange.use_count() == 1 && recycled.size() < kRecycledExchanges) {
        Empty(*exchange); // nothing of it stays but buffers of usual size
        recycled.push_back(std::move(exchange));
    }
    exchange.reset();
}
