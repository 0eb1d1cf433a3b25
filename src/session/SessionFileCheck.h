#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// The checks made on a file's own bytes before SQLite reads it: is it a SQLite database, a
// Kestrune session, of a layout this build knows, and whole? Cheap, and safe on any bytes.
namespace SessionFileCheck {
// The first bytes of the file (100 of them, fewer for a short file) and its size. False with
// a message for the user naming the file as `name`.
bool CheckHeader(std::string_view head, std::uint64_t fileSize, const std::string& name,
                 std::string& error);
// The same, reading the file.
bool CheckFile(const std::string& path, std::string& error);
} // namespace SessionFileCheck
