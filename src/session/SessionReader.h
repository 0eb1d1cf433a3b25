#pragma once
#include "session/SessionInfo.h"
#include "session/SqliteDb.h"

#include <string>

class CTraceStore;

// Reads a session file back: the store gets its entries, records and exchanges as they were
// captured, the info the run's description and debug lines. Any file may be handed in: a
// foreign, damaged, truncated or newer one is refused with a message, never trusted.
class CSessionReader {
public:
    // Into an empty store. False with the message for the user; the store may then hold part
    // of the file and is best thrown away.
    bool Read(const std::string& path, CTraceStore& store, SSessionInfo& info, std::string& error);

private:
    bool Open(const std::string& path);
    bool ReadRun(SSessionInfo& info);
    bool ReadExchanges(CTraceStore& store);
    bool ReadRecords(CTraceStore& store);
    bool ReadDebugLines(SSessionInfo& info);
    // A statement that failed: the file is damaged (or not ours), said with SQLite's words.
    bool Damaged();
    bool Damaged(const std::string& what);

    CSqliteDb m_Db;
    std::string m_strPath;
    std::string m_strError;
};
