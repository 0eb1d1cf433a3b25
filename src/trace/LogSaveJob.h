#pragma once
#include "trace/LogRowAppender.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class CTraceConnection;
class CTraceStore;

// One save of the log, done a slice at a time so that relaying can go on between slices.
// The save takes the records not yet written when it begins; records and entries added later
// wait for the next save. Between slices the store may gain entries and records but must not
// lose any (no purge, no dropping of records) until the save is done.
class CLogSaveJob {
public:
    explicit CLogSaveJob(CTraceStore& store);
    ~CLogSaveJob();

    CLogSaveJob(const CLogSaveJob&) = delete;
    CLogSaveJob& operator=(const CLogSaveJob&) = delete;

    // Opens the file named (blanks around it ignored) for appending and writes the header line
    // when the file is new. False, after its message, when the name is empty or the file cannot
    // be opened or given its header line: nothing was written then.
    bool Begin(const std::string& logFileName);

    // Writes rows until the deadline passes (looked at every few rows); true when the save is
    // done: every row written, or a write failed. A slice may overrun the deadline by one
    // write of the gathered rows.
    bool Step(std::chrono::steady_clock::time_point deadline);
    bool Run() { return Step(std::chrono::steady_clock::time_point::max()); }

    // Once done: every row landed whole and the file closed cleanly.
    bool Succeeded() const { return m_bDone && m_bWritten; }

    // Takes out the entries that a successful save leaves nothing to keep for: closed, and
    // every record written (entries that closed or began during the save may hold records it
    // did not take). Also empties the viewer feeds, as a purge does.
    static std::vector<std::unique_ptr<CTraceConnection>> TakeSavedClosedEntries(CTraceStore& store);

private:
    struct Portion {
        CTraceConnection* entry;
        std::size_t position; // in the store's list when the save began
        std::size_t records;  // records held then
    };
    CTraceConnection* Find(const Portion& portion) const;
    bool Finish(bool written);

    CTraceStore& m_store;
    int m_fd = -1;
    std::unique_ptr<CLogRowAppender> m_pOut;
    std::vector<Portion> m_Portions;
    std::size_t m_nPortion = 0;
    std::size_t m_nRecord = 0;
    bool m_bAfterSent = false; // a received record right after a sent one starts a response
    std::string m_strRow;
    bool m_bDone = false;
    bool m_bWritten = false;
};
