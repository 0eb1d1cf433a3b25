#pragma once
#include <cstdint>

class CSqliteDb;

// The session file's identity and layout (docs/session-format.md describes it for readers of
// the file).
namespace SessionSchema {
// PRAGMA application_id: "Kstr". A SQLite file without it is not a session.
inline constexpr std::int32_t kApplicationId = 0x4b737472;
// PRAGMA user_version: the layout this build writes and the newest it reads.
inline constexpr std::int32_t kVersion = 3;

// Makes the tables of an empty file, sets its identity and turns on write-ahead logging.
bool Create(CSqliteDb& db);
} // namespace SessionSchema
