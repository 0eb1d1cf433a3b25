#pragma once
#include <QString>

#include <string>
#include <string_view>
#include <vector>

// Bytes of the core (UTF-8 where they are text; lengths count bytes) as the window's text.
inline QString FromBytes(std::string_view bytes)
{
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// Puts the lines on the clipboard, each ended by a newline; leaves it alone when there are none.
void CopyLines(const std::vector<std::string>& lines);
