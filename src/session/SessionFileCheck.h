#pragma once
#include <cstdint>
#include <string>
#include <string_view>

class CSqliteDb;

// The checks made on a file's own bytes before SQLite reads it: is it a SQLite database, a
// Kestrune session, of a layout this build knows, and whole? Cheap, and safe on any bytes.
namespace SessionFileCheck {
// The first bytes of the file (100 of them, fewer for a short file) and its size. False with
// a message for the user naming the file as `name`.
bool CheckHeader(std::string_view head, std::uint64_t fileSize, const std::string& name,
                 std::string& error);
// The same, reading the file.
bool CheckFile(const std::string& path, std::string& error);
// CheckFile, then opens the file read-only and checks that the database (its log included)
// says the same of itself. False with the message for the user.
bool OpenChecked(CSqliteDb& db, const std::string& path, std::string& error);
} // namespace SessionFileCheck
