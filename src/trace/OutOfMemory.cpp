#include "trace/OutOfMemory.h"

namespace {
// One thread runs everything; nothing else touches it.
std::uint64_t g_nLosses = 0;
} // namespace

std::uint64_t OutOfMemoryLosses()
{
    return g_nLosses;
}

void CountOutOfMemoryLoss() noexcept
{
    ++g_nLosses;
}
