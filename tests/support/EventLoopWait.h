#pragma once
#include <functional>

// Runs the Qt event loop until done() is true or timeoutMs has passed; returns done().
// The loop wakes at least every few milliseconds, so conditions set by other threads are seen.
bool RunUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// Runs the event loop for about ms milliseconds.
void RunFor(int ms);

// Deletes every object whose deleteLater is still pending.
void FlushDeferredDeletes();
