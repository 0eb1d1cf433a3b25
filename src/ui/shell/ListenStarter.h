#pragma once
#include <functional>

class CTraceApp;

// Every start of listening that the window makes goes through here: the application's
// StartListening, unless a test has put something else in (tests must never bind the real
// default port 8010, which the first run and the Default button ask for).
using ListenStarter = std::function<bool(CTraceApp& app)>;

bool StartListeningFromWindow(CTraceApp& app);

// Installs a starter and returns the previous one; an empty one restores the application's own.
ListenStarter SetListenStarter(ListenStarter starter);
