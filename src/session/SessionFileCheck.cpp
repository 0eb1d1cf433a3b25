#include "session/SessionFileCheck.h"

#include "session/PackedExchangesTable.h"
#include "session/PackedRecordsTable.h"
#include "session/SessionSchema.h"
#include "session/SqliteDb.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace {
constexpr std::size_t kHeaderSize = 100;
constexpr std::string_view kMagic{"SQLite format 3\0", 16};

std::uint32_t BigEndian(std::string_view bytes, std::size_t offset, std::size_t length)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < length; ++i)
        value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}
} // namespace

bool SessionFileCheck::CheckHeader(std::string_view head, std::uint64_t fileSize,
                                   const std::string& name, std::string& error)
{
    if (fileSize == 0) {
        error = name + " is empty: it holds no session";
        return false;
    }
    if (head.size() < kMagic.size() || head.substr(0, kMagic.size()) != kMagic) {
        error = name + " is not a Kestrune session (not a SQLite file)";
        return false;
    }
    if (head.size() < kHeaderSize || fileSize < kHeaderSize) {
        error = name + " is truncated: it ends inside its header";
        return false;
    }
    if (static_cast<std::int32_t>(BigEndian(head, 68, 4)) != SessionSchema::kApplicationId) {
        error = name + " is not a Kestrune session (a SQLite file of another program)";
        return false;
    }
    const auto version = static_cast<std::int32_t>(BigEndian(head, 60, 4));
    if (version > SessionSchema::kVersion) {
        error = name + " was written by a newer Kestrune (session format " +
                std::to_string(version) + "; this one reads up to " +
                std::to_string(SessionSchema::kVersion) + ")";
        return false;
    }
    if (version < 1) {
        error = name + " is damaged: it gives no session format";
        return false;
    }
    // The page size: a power of two from 512 to 32768, or 1 for 65536.
    std::uint32_t pageSize = BigEndian(head, 16, 2);
    if (pageSize == 1)
        pageSize = 65536;
    if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0) {
        error = name + " is damaged: its page size is not valid";
        return false;
    }
    // The page count is to be trusted when the change counter matches the number it was
    // written with; the file must then hold every page.
    const std::uint32_t pages = BigEndian(head, 28, 4);
    const bool countValid = BigEndian(head, 24, 4) == BigEndian(head, 92, 4);
    if (fileSize % pageSize != 0 ||
        (countValid && fileSize < static_cast<std::uint64_t>(pages) * pageSize)) {
        error = name + " is truncated: it ends inside its data";
        return false;
    }
    return true;
}

bool SessionFileCheck::CheckFile(const std::string& path, std::string& error)
{
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    const auto size = static_cast<std::uint64_t>(file.tellg());
    file.seekg(0);
    std::string head(kHeaderSize, '\0');
    file.read(head.data(), kHeaderSize);
    head.resize(static_cast<std::size_t>(file.gcount()));
    return CheckHeader(head, size, path, error);
}

bool SessionFileCheck::OpenChecked(CSqliteDb& db, const std::string& path, std::string& error)
{
    if (!CheckFile(path, error))
        return false;
    if (!db.Open(path, false)) {
        error = "cannot open " + path + ": " + db.Error();
        return false;
    }
    // The header told what the file was; the database (its log included) must say the same.
    long long application = 0, version = 0;
    if (!db.PragmaInteger("application_id", application)
        || !db.PragmaInteger("user_version", version)) {
        error = path + " is damaged or not a Kestrune session: " + db.Error();
        return false;
    }
    if (application != SessionSchema::kApplicationId) {
        error = path + " is damaged or not a Kestrune session: it is not a Kestrune session";
        return false;
    }
    if (version > SessionSchema::kVersion) {
        error = path + " was written by a newer Kestrune (session format " + std::to_string(version)
                + ")";
        return false;
    }
    // Packed records and exchanges read as the older layout's tables.
    if (!PackedRecordsTable::Attach(db.Handle()) || !PackedExchangesTable::Attach(db.Handle())) {
        error = path + " is damaged or not a Kestrune session: " + db.Error();
        return false;
    }
    return true;
}
