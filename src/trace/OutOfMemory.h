#pragma once
#include <cstdint>
#include <new>

// Running out of memory. Only work whose loss costs nothing but a text and leaves every
// structure whole is given up: a viewer's or feed's text, a record's derived texts (the record
// stays, counted and listed), a log row (it stays unwritten for a later save). Such work runs
// through RunUnlessOutOfMemory, which counts each loss. Anywhere else std::bad_alloc is not
// caught and ends the run: a half-made connection or store would do worse than stop.

// Losses counted since the start of the run.
std::uint64_t OutOfMemoryLosses();
void CountOutOfMemoryLoss() noexcept;

// Runs work; true when it finished, false when memory ran out (the loss counted). work must
// leave what it touched whole when an allocation fails, or the caller repairs it on false.
template <typename Work>
bool RunUnlessOutOfMemory(Work&& work)
{
    try {
        work();
        return true;
    } catch (const std::bad_alloc&) {
        CountOutOfMemoryLoss();
        return false;
    }
}
