#pragma once
#include <cstdint>
#include <ctime>

// The millisecond tick and the wall clock that trace records read.
// Both can be replaced (tests drive them by hand); nullptr restores the system source.
using TickSource = std::uint32_t (*)();
using ClockSource = std::time_t (*)();

// 32-bit millisecond counter that wraps around, like the multimedia timer it stands in for.
std::uint32_t GetTickMs();
std::time_t GetWallClock();

void SetTickSource(TickSource source);
void SetClockSource(ClockSource source);
