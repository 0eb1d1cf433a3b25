#include "trace/ExchangePhases.h"

#include <algorithm>

namespace {

double Milliseconds(std::int64_t from, std::int64_t to)
{
    return static_cast<double>(std::max<std::int64_t>(0, to - from)) / 1000.0;
}

} // namespace

double SExchangePhases::Total() const
{
    double total = 0;
    for (double phase : {blocked, dns, connect, send, wait, receive})
        total += std::max(0.0, phase);
    return total;
}

SExchangePhases ExchangePhases(const SExchangeTimes& times)
{
    SExchangePhases phases;
    if (times.started == 0)
        return phases;
    // Each phase runs from the end of the last one that happened; a step reported out of order
    // (an answer before the request's last byte went) counts as no time.
    std::int64_t last = times.started;
    auto step = [&last](std::int64_t at) {
        const double length = Milliseconds(last, at);
        last = std::max(last, at);
        return length;
    };
    if (times.resolved != 0)
        phases.dns = step(times.resolved);
    if (times.connected != 0)
        phases.connect = step(times.connected);
    if (times.tlsDone != 0) {
        phases.ssl = step(times.tlsDone);
        phases.connect = std::max(0.0, phases.connect) + phases.ssl;
    }
    if (times.requestSent != 0)
        phases.send = step(times.requestSent);
    if (times.firstByte != 0) {
        phases.wait = step(times.firstByte);
        if (times.ended != 0)
            phases.receive = step(times.ended);
    }
    return phases;
}
