#pragma once
#include <QString>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// A HAR file of a saved capture's exchanges, each read whole from the session file and written
// as its entry is made, so a capture of any size goes out in little memory. Meant for a thread
// of its own: it opens the file on a connection of its own, counts the exchanges done in
// `done` and gives up when `stop` is set. The HAR file appears whole or not at all.
namespace SavedHarExport {
// The exchanges of the numbers given, in that order, or every one (none given). False with
// the reason for the user.
bool Write(const std::string& sessionPath, const std::vector<std::uint64_t>& ids,
           const QString& harPath, const std::atomic<bool>& stop, std::atomic<std::uint64_t>& done,
           std::string& error);
} // namespace SavedHarExport
