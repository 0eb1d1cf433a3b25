#pragma once
#include "session/SessionInfo.h"

#include <string>

class CTraceApp;

// "Save Session...": what the application's trace holds now (entries, records, exchanges, the
// debug lines not yet shown) with the run's description into a session file readable by its
// owner only. Never a secret: no upstream password, no key.
namespace SessionSnapshot {
// Written beside `path` and then put in its place, so a failure leaves any file there whole.
// False with the reason; refused while a Kestrune records into `path`.
bool Save(const CTraceApp& app, const std::string& path, std::string& error);

// The steps of Save for a save that runs while the window goes on: Begin makes the new file
// beside `path` (its name in `temp`) and describes the run; once the file is written, Finish
// puts it in place. Discard removes it when the save is given up or fails.
bool Begin(const CTraceApp& app, const std::string& path, std::string& temp, SSessionInfo& info,
           std::string& error);
bool Finish(const std::string& temp, const std::string& path, std::string& error);
void Discard(const std::string& temp);
} // namespace SessionSnapshot
