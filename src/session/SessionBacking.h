#pragma once
#include "session/SqliteDb.h"
#include "session/SqliteStatement.h"
#include "trace/TraceBacking.h"

#include <string>

// Reads back, from the session file being recorded, what the memory budget took out of the
// store: a record's texts by its rowid (the record's serial), an exchange's bodies by its
// number. A read-only connection of its own, opened at the first read (the write-ahead log
// lets it read beside the recorder's writer); what is not committed yet is not found.
class CSessionBacking : public CTraceBacking {
public:
    explicit CSessionBacking(std::string path);

    bool ReadRecordTexts(std::uint64_t serial, int connectionId, int sequence, std::string& header,
                         std::string& text) override;
    bool ReadBodies(std::uint64_t exchangeId, SExchangeBody& request,
                    SExchangeBody& response) override;

private:
    bool Open();

    std::string m_strPath;
    bool m_bTried = false;
    bool m_bOpen = false;
    // Statements go before the connection (member order).
    CSqliteDb m_Db;
    CSqliteStatement m_Record;
    CSqliteStatement m_Bodies;
};
