#include "platform/Ticks.h"

#include <chrono>

namespace {
TickSource g_tickSource = nullptr;
ClockSource g_clockSource = nullptr;
}

std::uint32_t GetTickMs()
{
    if (g_tickSource)
        return g_tickSource();
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<std::uint32_t>(ms);
}

std::time_t GetWallClock()
{
    if (g_clockSource)
        return g_clockSource();
    return std::time(nullptr);
}

void SetTickSource(TickSource source) { g_tickSource = source; }
void SetClockSource(ClockSource source) { g_clockSource = source; }
