#include "trace/TraceRecord.h"

#include "trace/CharsetText.h"

#include <cstdlib>
#include <ctime>

std::string FormatMilliseconds(std::int32_t ms)
{
    // A negative time (the tick wrapped between two records) gets the same text with a sign.
    const std::int64_t value = ms;
    const std::string digits = std::to_string(std::llabs(value));

    std::string text;
    if (digits.size() >= 3)
        text = digits.substr(0, digits.size() - 3) + "." + digits.substr(digits.size() - 3);
    else
        text = std::string(3 - digits.size(), '0') + digits;
    if (text.size() == 3)
        text.insert(0, "0.");
    else if (text.size() == 4)
        text.insert(0, "0");
    if (value < 0)
        text.insert(0, "-");
    return text;
}

std::string CTraceRecord::GetFullText() const
{
    std::string text;
    text.reserve(m_strHeader.size() + m_strText.size());
    text += m_strHeader;
    text += m_strText;
    return text;
}

std::string CTraceRecord::GetDisplayText() const
{
    if (m_nDirection == ETraceDirection::Sent)
        return GetFullText();
    return ToDisplayUtf8(GetFullText(), m_strCharset);
}

std::string CTraceRecord::GetBanner() const
{
    return "\r\n-------- " + GetTimeText() + " (" + GetIdText() + ") --------\r\n";
}

std::string CTraceRecord::GetTimeText() const
{
    std::tm local{};
    char text[16];
    const std::time_t captured = m_timeCaptured;
    if (!localtime_r(&captured, &local) || std::strftime(text, sizeof text, "%H:%M:%S", &local) == 0)
        return "00:00:00";
    return text;
}

std::string CTraceRecord::GetIdText() const
{
    return std::to_string(m_nConnectionId) + "-" + std::to_string(m_nSequence);
}

std::string CTraceRecord::GetSummary() const
{
    std::string summary;
    if (!m_strHeader.empty()) {
        // The status or request line, at most 100 bytes of it.
        std::size_t k = m_strHeader.find('\r');
        if (k == std::string::npos || k == 0)
            k = m_strHeader.size();
        else if (k > 100)
            k = 100;
        summary = m_strHeader.substr(0, k);
    } else {
        summary = m_strText.substr(0, 100);
        if (summary.size() > 10) {
            const std::size_t cr = summary.find('\r', 7);
            if (cr != std::string::npos)
                summary.resize(cr);
        }
    }
    for (char& c : summary) {
        if (c == '\r' || c == '\n' || c == '\t')
            c = ' ';
    }
    const std::size_t space = summary.find(' ');
    if (!m_strOrigin.empty() && space != std::string::npos && summary.compare(space + 1, 1, "/") == 0)
        summary.insert(space + 1, m_strOrigin); // "GET https://host/path HTTP/1.1"
    return summary;
}

std::string CTraceRecord::GetResponseTimeText() const
{
    return FormatMilliseconds(m_nElapsed);
}
