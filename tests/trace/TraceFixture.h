#pragma once
#include "platform/Ticks.h"
#include "support/TraceWords.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>

// Every test of the trace store gets an application object and a store of its own, and drives
// the millisecond tick and the wall clock by hand.
namespace tracetest {

inline std::uint32_t g_tick = 0;
inline std::uint32_t g_tickStep = 0; // added after every read
inline std::time_t g_clock = 0;

inline std::uint32_t FakeTick()
{
    const std::uint32_t tick = g_tick;
    g_tick += g_tickStep;
    return tick;
}

inline std::time_t FakeClock() { return g_clock; }

inline std::time_t LocalTime(int hour, int minute, int second)
{
    std::tm parts{};
    parts.tm_year = 124;
    parts.tm_mon = 2;
    parts.tm_mday = 5;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    return std::mktime(&parts);
}

class TraceTest : public ::testing::Test {
protected:
    TraceTest()
    {
        g_tick = 1000;
        g_tickStep = 0;
        g_clock = LocalTime(14, 3, 22);
        SetTickSource(&FakeTick);
        SetClockSource(&FakeClock);
    }

    ~TraceTest() override
    {
        SetTickSource(nullptr);
        SetClockSource(nullptr);
    }

    CTraceConnection& NewConnection(bool ssl = false)
    {
        return *m_store.AddConnection(nullptr, ssl);
    }

    static const CTraceRecord& Record(const CTraceConnection& entry, std::size_t index)
    {
        return *entry.GetRecords().at(index);
    }

    static const CTraceRecord& Last(const CTraceConnection& entry)
    {
        return *entry.GetRecords().back();
    }

    // A chunk built at the given tick.
    static void AddAt(CTraceConnection& entry, std::uint32_t tick, ETraceDirection direction,
                      ETracePart part, const std::string& chunk)
    {
        g_tick = tick;
        entry.AddChunk(direction, part, chunk);
    }

    CTraceState m_app;
    CTraceStore m_store{m_app};
};

inline const std::string kRequest = "GET /index.html HTTP/1.0\r\nHost: example.test\r\n\r\n";
inline const std::string kStatusLine = "HTTP/1.0 200 OK";

inline std::string ResponseHeader(const std::string& contentType)
{
    return kStatusLine + "\r\nContent-Type: " + contentType + "\r\n\r\n";
}

} // namespace tracetest
