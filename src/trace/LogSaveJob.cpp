#include "trace/LogSaveJob.h"

#include "http/AsciiCase.h"
#include "platform/MessageBox.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace {
constexpr std::string_view kHeaderLine =
    "\"Type\"\t\"ID1\"\t\"ID2\"\t\"Time\"\t\"Bytes\"\t\"Response Time\"\t\"Data\"\r\n";

// Rows made between two looks at the clock: well under a millisecond of work.
constexpr unsigned kRowsPerClockCheck = 64;

std::string Trim(const std::string& text) { return std::string(TrimAscii(text, " \t\r\n\v\f")); }

bool FileExists(const std::string& name)
{
    std::FILE* file = std::fopen(name.c_str(), "r");
    if (!file)
        return false;
    std::fclose(file);
    return true;
}
} // namespace

CLogSaveJob::CLogSaveJob(CTraceStore& store) : m_store(store) {}

CLogSaveJob::~CLogSaveJob()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool CLogSaveJob::Begin(const std::string& logFileName)
{
    const std::string name = Trim(logFileName);
    if (name.empty()) {
        ShowMessageBox("Specify Log File Name");
        return false;
    }

    // A NUL byte would make the system open a file of a shorter name.
    bool existed = false;
    if (name.find('\0') == std::string::npos) {
        existed = FileExists(name);
        // Requests in the log may carry credentials and cookies: the owner's alone, as the key.
        m_fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    }
    if (m_fd < 0) {
        ShowMessageBox("Could not open file: " + name);
        return false;
    }

    m_pOut = std::make_unique<CLogRowAppender>(m_fd);
    if (!existed && !(m_pOut->Add(kHeaderLine, nullptr) && m_pOut->Flush())) {
        ::close(m_fd);
        m_fd = -1;
        ShowMessageBox("Could not write log file: " + name);
        return false;
    }

    const auto& entries = m_store.GetConnections();
    m_Portions.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        m_Portions.push_back({entries[i].get(), i, entries[i]->GetRecords().size()});
    return true;
}

CTraceConnection* CLogSaveJob::Find(const Portion& portion) const
{
    // Entries are only added at the end while a save runs, so an entry keeps its place; should
    // one have gone all the same, its records went with it and nothing of it is written.
    const auto& entries = m_store.GetConnections();
    if (portion.position < entries.size() && entries[portion.position].get() == portion.entry)
        return portion.entry;
    for (const auto& entry : entries) {
        if (entry.get() == portion.entry)
            return portion.entry;
    }
    return nullptr;
}

bool CLogSaveJob::Step(std::chrono::steady_clock::time_point deadline)
{
    if (m_bDone)
        return true;
    if (!m_pOut)
        return Finish(false);
    unsigned rows = 0;
    for (; m_nPortion < m_Portions.size(); ++m_nPortion, m_nRecord = 0, m_bAfterSent = false) {
        const Portion& portion = m_Portions[m_nPortion];
        const CTraceConnection* entry = Find(portion);
        if (!entry)
            continue;
        const auto& records = entry->GetRecords();
        const std::size_t end = std::min(portion.records, records.size());
        while (m_nRecord < end) {
            CTraceRecord& record = *records[m_nRecord++];
            // A received record right after a sent one starts the response: its status line.
            if (!record.IsWritten()) {
                if (!record.MakeLogRow(m_bAfterSent, m_strRow) ||
                    !m_pOut->Add(m_strRow, &record))
                    return Finish(false);
            }
            m_bAfterSent = record.GetDirection() == ETraceDirection::Sent;
            if (++rows % kRowsPerClockCheck == 0 && std::chrono::steady_clock::now() >= deadline)
                return false;
        }
    }
    return Finish(m_pOut->Flush());
}

bool CLogSaveJob::Finish(bool written)
{
    m_bWritten = written;
    if (m_fd >= 0 && ::close(m_fd) != 0)
        m_bWritten = false;
    m_fd = -1;
    m_bDone = true;
    return true;
}

std::vector<std::unique_ptr<CTraceConnection>> CLogSaveJob::TakeSavedClosedEntries(CTraceStore& store)
{
    store.ClearRequestText();
    store.ClearResponseText();
    store.ClearDebugText();
    return store.TakeConnections([](const CTraceConnection& entry) {
        // Rows go out in order: the last record written means all were.
        const auto& records = entry.GetRecords();
        return !entry.IsOpen() && (records.empty() || records.back()->IsWritten());
    });
}
