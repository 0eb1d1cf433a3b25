#include "session/ExchangePack.h"

#include "session/PackNumbers.h"
#include "trace/Exchange.h"

#include <climits>
#include <cstring>

namespace {
// An exchange's 23 numbers of at most 10 bytes, 3 bytes and 9 lengths.
using CNumbers = CPackNumbers<256>;

std::uint64_t Zigzag(std::int64_t value)
{
    return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

// A moment other than the start, when it happened: its distance to the start (most are small).
std::uint64_t Distance(std::int64_t time, std::int64_t started)
{
    return Zigzag(static_cast<std::int64_t>(static_cast<std::uint64_t>(time)
                                            - static_cast<std::uint64_t>(started)));
}

// A moment other than the start: 0 unless its bit is in `happened`, else its distance.
bool ReadMoment(CPackReader& in, std::uint64_t happened, int bit, std::int64_t started,
                std::int64_t& time)
{
    time = 0;
    std::int64_t distance = 0;
    if (!(happened & (1u << bit)))
        return true;
    if (!in.Signed(distance))
        return false;
    time = static_cast<std::int64_t>(static_cast<std::uint64_t>(started)
                                     + static_cast<std::uint64_t>(distance));
    return true;
}

void PutBody(const ExchangePack::SBodySizes& body, CNumbers& out)
{
    out.Put(static_cast<std::uint64_t>(body.kept));
    out.Put(static_cast<std::uint64_t>(body.total));
    out.PutByte(body.zstd);
}

bool ReadBody(CPackReader& in, ExchangePack::SBodySizes& body)
{
    std::uint64_t zstd = 0;
    if (!in.Number(body.kept, CExchange::kMaxKeptBody) || !in.Number(body.total, INT64_MAX)
        || !in.Number(zstd, 1) || body.total < body.kept)
        return false;
    body.zstd = zstd != 0;
    return true;
}
} // namespace

void ExchangePack::Append(const CExchange& e, std::string_view requestHead,
                          std::string_view forwardedHead, const SBodySizes& request,
                          const SBodySizes& response, std::string& out)
{
    CNumbers numbers;
    numbers.Put(Zigzag(e.m_nBrowserConnection));
    numbers.Put(Zigzag(e.m_nServerConnection));
    numbers.PutByte(e.m_bHttps);
    numbers.Put(e.m_nPort);
    numbers.Put(e.m_nFlags);
    numbers.Put(e.m_nReplayOf);
    numbers.Put(Zigzag(e.m_nStatus));
    numbers.Put(e.m_nUnexpectedBytes);
    numbers.Put(static_cast<std::uint64_t>(e.m_nEnd));
    PutBody(request, numbers);
    PutBody(response, numbers);
    const SExchangeTimes& t = e.m_Times;
    numbers.Put(Zigzag(t.started));
    const std::int64_t moments[] = {t.resolved,    t.connected, t.tlsDone,
                                    t.requestSent, t.firstByte, t.ended};
    std::uint64_t happened = 0;
    for (int bit = 0; bit < 6; ++bit)
        happened |= moments[bit] != 0 ? 1u << bit : 0u;
    numbers.Put(happened);
    for (std::int64_t time : moments) {
        if (time != 0)
            numbers.Put(Distance(time, t.started));
    }
    const std::string_view bytes[] = {e.m_strHost,    e.m_strMethod,     e.m_strTarget,
                                      e.m_strVersion, requestHead,       forwardedHead,
                                      e.m_strReason,  e.m_strResponseHead, e.m_strEndReason};
    std::size_t size = 0;
    for (std::string_view field : bytes)
        size += field.size();
    // The lengths go first into the buffer, the bytes after each of them.
    const std::size_t fixed = numbers.View().size();
    for (std::string_view field : bytes)
        numbers.Put(field.size());
    // Written into room made at once: an append per field and per length costs more than the
    // bytes it moves (the writer packs every exchange).
    const std::string_view all = numbers.View();
    const std::size_t base = out.size();
    out.resize(base + all.size() + size);
    char* to = out.data() + base;
    std::memcpy(to, all.data(), fixed);
    to += fixed;
    std::size_t at = fixed;
    for (std::string_view field : bytes) {
        do
            *to++ = all[at];
        while (static_cast<unsigned char>(all[at++]) & 0x80);
        if (!field.empty())
            std::memcpy(to, field.data(), field.size());
        to += field.size();
    }
}

bool ExchangePack::Read(std::string_view packed, std::int64_t id, SFields& fields,
                        std::string& problem)
{
    CPackReader in(packed);
    CExchange& e = fields.exchange;
    std::int64_t browser = 0, server = 0, status = 0;
    std::uint64_t https = 0, end = 0, happened = 0;
    SExchangeTimes& t = e.m_Times;
    const bool read =
        id >= 1 && in.Signed(browser) && in.Signed(server) && in.Number(https, 1)
        && in.Number(e.m_nPort, 65535) && in.Number(e.m_nFlags, 255)
        && in.Number(e.m_nReplayOf, INT64_MAX) && in.Signed(status)
        && in.Number(e.m_nUnexpectedBytes, INT64_MAX)
        && in.Number(end, static_cast<std::uint64_t>(EExchangeEnd::Refused))
        && ReadBody(in, fields.request) && ReadBody(in, fields.response) && in.Signed(t.started)
        && in.Number(happened, 63) && ReadMoment(in, happened, 0, t.started, t.resolved)
        && ReadMoment(in, happened, 1, t.started, t.connected)
        && ReadMoment(in, happened, 2, t.started, t.tlsDone)
        && ReadMoment(in, happened, 3, t.started, t.requestSent)
        && ReadMoment(in, happened, 4, t.started, t.firstByte)
        && ReadMoment(in, happened, 5, t.started, t.ended)
        && browser >= INT_MIN && browser <= INT_MAX && server >= INT_MIN && server <= INT_MAX
        && status >= INT_MIN && status <= INT_MAX;
    if (!read || !in.Bytes(fields.host) || !in.Bytes(fields.method) || !in.Bytes(fields.target)
        || !in.Bytes(fields.version) || !in.Bytes(fields.requestHead)
        || !in.Bytes(fields.forwardedHead) || !in.Bytes(fields.reason)
        || !in.Bytes(fields.responseHead) || !in.Bytes(fields.endReason) || !in.AtEnd()) {
        problem = "an exchange's packed fields are damaged";
        return false;
    }
    e.m_nId = static_cast<std::uint64_t>(id);
    e.m_nBrowserConnection = static_cast<int>(browser);
    e.m_nServerConnection = static_cast<int>(server);
    e.m_bHttps = https != 0;
    e.m_nStatus = static_cast<int>(status);
    e.m_nEnd = static_cast<EExchangeEnd>(end);
    return true;
}

bool ExchangePack::Unpack(std::string_view packed, std::int64_t id, CExchange& e,
                          SBodySizes& request, SBodySizes& response, std::string& problem)
{
    SFields fields;
    if (!Read(packed, id, fields, problem))
        return false;
    SExchangeBody requestBody = std::move(e.m_RequestBody), responseBody = std::move(e.m_ResponseBody);
    e = std::move(fields.exchange);
    e.m_RequestBody = std::move(requestBody);
    e.m_ResponseBody = std::move(responseBody);
    e.m_strHost = fields.host;
    e.m_strMethod = fields.method;
    e.m_strTarget = fields.target;
    e.m_strVersion = fields.version;
    e.m_strRequestHead = fields.requestHead;
    e.m_strForwardedHead = fields.forwardedHead;
    e.m_strReason = fields.reason;
    e.m_strResponseHead = fields.responseHead;
    e.m_strEndReason = fields.endReason;
    request = fields.request;
    response = fields.response;
    return true;
}
