#pragma once
#include "session/SessionInfo.h"

#include <string>

class CTraceStore;

// Writes what a store holds now (entries, records, exchanges) with the run's description and
// debug lines into a new session file, in bounded batches. For a conversion, and for saving
// what a window shows.
namespace SessionSaver {
bool Save(const CTraceStore& store, const SSessionInfo& info, const std::string& path,
          std::string& error);
} // namespace SessionSaver
