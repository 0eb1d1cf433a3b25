#include "trace/LogRowAppender.h"

#include "trace/OutOfMemory.h"
#include "trace/TraceRecord.h"

#include <unistd.h>

#include <cerrno>

namespace {
// Rows gathered before they go to the file in one write; a save of any size holds at most this
// much text at once, and one write of it is short enough not to hold up relaying.
constexpr std::size_t kBatchBytes = 1 << 20;
} // namespace

CLogRowAppender::CLogRowAppender(int fd) : m_fd(fd), m_nLanded(::lseek(fd, 0, SEEK_END)) {}

bool CLogRowAppender::Add(std::string_view row, CTraceRecord* record)
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

bool CLogRowAppender::Flush()
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
