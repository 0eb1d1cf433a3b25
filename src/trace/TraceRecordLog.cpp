#include "trace/TraceRecord.h"

#include "trace/OutOfMemory.h"

bool CTraceRecord::MakeLogRow(bool useSummary, std::string& row) const
{
    return RunUnlessOutOfMemory([&] {
        // A response head the relay marked shows its status line even right after another
        // response (pipelined answers).
        std::string data = m_nDirection == ETraceDirection::Sent || useSummary || StartsResponse()
                               ? GetSummary()
                               : std::to_string(m_nBytes) + " bytes";
        for (char& c : data) {
            if (c == '"')
                c = ' '; // the columns are quoted and nothing is escaped
        }
        row = "\"";
        row += m_nDirection == ETraceDirection::Sent ? "SEND" : "RECIEVE";
        row += "\"\t\"" + std::to_string(m_nConnectionId);
        row += "\"\t\"" + std::to_string(m_nSequence);
        row += "\"\t\"" + GetTimeText();
        row += "\"\t\"" + std::to_string(m_nBytes);
        row += "\"\t\"" + GetResponseTimeText();
        row += "\"\t\"" + data;
        row += "\"\r\n";
    });
}

bool CTraceRecord::WriteLogRow(std::FILE* file, bool useSummary)
{
    std::string row;
    if (!file || !MakeLogRow(useSummary, row))
        return false;

    // Flushed row by row: a row that stays in the stream's buffer has not been written.
    if (std::fwrite(row.data(), 1, row.size(), file) != row.size() || std::fflush(file) != 0)
        return false;
    m_bWritten = true;
    return true;
}
