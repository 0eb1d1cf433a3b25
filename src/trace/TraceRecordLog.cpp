#include "trace/TraceRecord.h"

#include "trace/OutOfMemory.h"

bool CTraceRecord::MakeLogRow(int useSummary, std::string& row) const
{
    return RunUnlessOutOfMemory([&] {
        std::string data = m_nDirection == 0 || useSummary
                               ? GetSummary()
                               : std::to_string(m_nBytes) + " bytes";
        for (char& c : data) {
            if (c == '"')
                c = ' '; // the columns are quoted and nothing is escaped
        }
        row = "\"";
        row += m_nDirection == 0 ? "SEND" : "RECIEVE";
        row += "\"\t\"" + std::to_string(m_nConnectionId);
        row += "\"\t\"" + std::to_string(m_nSequence);
        row += "\"\t\"" + GetTimeText();
        row += "\"\t\"" + std::to_string(m_nBytes);
        row += "\"\t\"" + GetResponseTimeText();
        row += "\"\t\"" + data;
        row += "\"\r\n";
    });
}

int CTraceRecord::WriteLogRow(std::FILE* file, int useSummary)
{
    std::string row;
    if (!file || !MakeLogRow(useSummary, row))
        return 0;

    // Flushed row by row: a row that stays in the stream's buffer has not been written.
    if (std::fwrite(row.data(), 1, row.size(), file) != row.size() || std::fflush(file) != 0)
        return 0;
    m_bWritten = true;
    return 1;
}
