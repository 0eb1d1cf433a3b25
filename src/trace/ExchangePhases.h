#pragma once
#include "trace/Exchange.h"

// An exchange's time split into the phases HAR's timings name, in milliseconds (microsecond
// digits kept). -1 where a phase did not happen: a reused connection is neither resolved nor
// connected again, a plain one has no TLS. The proxy does not see a request queue, so blocked
// is always -1. As in HAR, ssl is a part of connect, not added to it.
struct SExchangePhases {
    double blocked = -1;
    double dns = -1;
    double connect = -1;
    double ssl = -1;
    double send = 0;
    double wait = 0;
    double receive = 0;

    // Every phase that happened, ssl counted once (within connect).
    double Total() const;
};

SExchangePhases ExchangePhases(const SExchangeTimes& times);
