#include "trace/LogSaver.h"

#include "platform/MessageBox.h"
#include "trace/OutOfMemory.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

namespace {
constexpr std::string_view kHeaderLine =
    "\"Type\"\t\"ID1\"\t\"ID2\"\t\"Time\"\t\"Bytes\"\t\"Response Time\"\t\"Data\"\r\n";

std::string Trim(const std::string& text)
{
    constexpr const char* kBlanks = " \t\r\n\v\f";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return {};
    const std::size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool FileExists(const std::string& name)
{
    std::FILE* file = std::fopen(name.c_str(), "r");
    if (!file)
        return false;
    std::fclose(file);
    return true;
}

// Rows gathered before they go to the file in one write; a save of any size holds at most this
// much text at once.
constexpr std::size_t kBatchBytes = 4 << 20;

// Appends rows to a log file in few large writes. A write that stops part-way is cut back to
// the last whole row, so the file never ends in a torn row; only rows that landed whole are
// marked written, and the rest are written once by a later save.
class CRowAppender {
public:
    explicit CRowAppender(int fd) : m_fd(fd), m_nLanded(::lseek(fd, 0, SEEK_END)) {}

    // False once a write failed (the file then ends at the last whole row).
    bool Add(std::string_view row, CTraceRecord* record)
    {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const std::size_t before = m_Batch.size();
            const bool added = RunUnlessOutOfMemory([&] {
                m_Batch.append(row);
                m_Rows.emplace_back(m_Batch.size(), record);
            });
            if (added)
                return m_Batch.size() < kBatchBytes || Flush();
            m_Batch.resize(before); // a row without its mark would be written twice
            if (m_Batch.empty() || !Flush())
                return false; // short of memory: what was gathered went out, the rest waits
        }
        return false;
    }

    bool Flush()
    {
        std::size_t done = 0;
        while (done < m_Batch.size()) {
            const ssize_t n = ::write(m_fd, m_Batch.data() + done, m_Batch.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        std::size_t whole = 0;
        for (const auto& [end, record] : m_Rows) {
            if (end > done)
                break;
            whole = end;
            if (record)
                record->MarkWritten();
        }
        const bool ok = done == m_Batch.size();
        if (!ok && m_nLanded >= 0 && done > whole)
            [[maybe_unused]] const int rc = ::ftruncate(m_fd, m_nLanded + static_cast<off_t>(whole));
        m_nLanded += static_cast<off_t>(whole);
        m_Batch.clear();
        m_Rows.clear();
        return ok;
    }

private:
    int m_fd;
    off_t m_nLanded; // the file's size up to the last row that landed whole
    std::string m_Batch;
    std::vector<std::pair<std::size_t, CTraceRecord*>> m_Rows; // end of each row in m_Batch
};

bool AppendUnwrittenRows(CTraceStore& store, CRowAppender& out)
{
    std::string row;
    for (const auto& entry : store.GetConnections()) {
        bool afterSent = false; // the first record follows nothing
        for (const auto& record : entry->GetRecords()) {
            // A received record right after a sent one starts the response: its status line.
            if (!record->IsWritten()) {
                if (!record->MakeLogRow(afterSent, row) || !out.Add(row, record.get()))
                    return false;
            }
            afterSent = record->GetDirection() == ETraceDirection::Sent;
        }
    }
    return out.Flush();
}
} // namespace

bool SaveAndClear(CTraceStore& store, const std::string& logFileName,
                  const std::function<void()>& clearAllData)
{
    const std::string name = Trim(logFileName);
    if (name.empty()) {
        ShowMessageBox("Specify Log File Name");
        return false;
    }

    // A NUL byte would make the system open a file of a shorter name.
    int fd = -1;
    bool existed = false;
    if (name.find('\0') == std::string::npos) {
        existed = FileExists(name);
        fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    }
    if (fd < 0) {
        ShowMessageBox("Could not open file: " + name);
        return false;
    }

    CRowAppender out(fd);
    if (!existed && !(out.Add(kHeaderLine, nullptr) && out.Flush())) {
        ::close(fd);
        ShowMessageBox("Could not write log file: " + name);
        return false;
    }

    // One buffered pass: a save of many rows costs a few writes, not one flush per row.
    bool written = AppendUnwrittenRows(store, out);
    if (::close(fd) != 0)
        written = false;

    if (!written) {
        ShowMessageBox("Error during log write command");
        return false;
    }

    if (clearAllData)
        clearAllData();
    else
        store.PurgeClosedConnections();
    ShowMessageBox("Kestrune written and cleared.");
    return true;
}
