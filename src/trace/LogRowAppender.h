#pragma once
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class CTraceRecord;

// Appends rows to a log file in few large writes. A write that stops part-way is cut back to
// the last whole row, so the file never ends in a torn row; only rows that landed whole are
// marked written, and the rest are written once by a later save.
class CLogRowAppender {
public:
    explicit CLogRowAppender(int fd);

    // Adds a row (record: the record it belongs to, marked written once it landed; none for
    // the header line). False once a write failed (the file then ends at the last whole row).
    bool Add(std::string_view row, CTraceRecord* record);
    // Writes what was gathered; false when not all of it landed.
    bool Flush();

private:
    int m_fd;
    off_t m_nLanded; // the file's size up to the last row that landed whole
    std::string m_Batch;
    std::vector<std::pair<std::size_t, CTraceRecord*>> m_Rows; // end of each row in m_Batch
};
