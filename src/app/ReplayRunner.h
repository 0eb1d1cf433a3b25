#pragma once

struct CCommandLine;

// kestrune --replay FILE: sends the requests of a session or HAR file again and prints one
// JSON line per request. Returns the exit status: 0 every status as recorded, 1 one differs
// (or got no answer), 2 the file or the options could not be used.
int RunReplay(const CCommandLine& options);
