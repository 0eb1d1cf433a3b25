#include "ui/shell/ByteText.h"

#include <QApplication>
#include <QClipboard>

void CopyLines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    if (!text.empty())
        QApplication::clipboard()->setText(FromBytes(text));
}
