#pragma once
#include <string>

class CTraceApp;

// "Save Session...": what the application's trace holds now (entries, records, exchanges, the
// debug lines not yet shown) with the run's description into a session file readable by its
// owner only. Never a secret: no upstream password, no key.
namespace SessionSnapshot {
// Written beside `path` and then put in its place, so a failure leaves any file there whole.
// False with the reason; refused while a Kestrune records into `path`.
bool Save(const CTraceApp& app, const std::string& path, std::string& error);
} // namespace SessionSnapshot
