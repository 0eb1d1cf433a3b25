#include "ui/viewers/LinesModel.h"

#include <algorithm>
#include <climits>

CLinesModel::CLinesModel(QObject* parent)
    : QAbstractListModel(parent)
{
}

void CLinesModel::SetText(std::string text, std::vector<std::uint32_t> lineStarts)
{
    beginResetModel();
    m_bHex = false;
    m_strBytes = std::move(text);
    m_LineStarts = std::move(lineStarts);
    endResetModel();
}

void CLinesModel::SetHex(std::string bytes)
{
    beginResetModel();
    m_bHex = true;
    m_strBytes = std::move(bytes);
    m_LineStarts.clear();
    endResetModel();
}

void CLinesModel::Clear()
{
    beginResetModel();
    m_strBytes.clear();
    m_strBytes.shrink_to_fit();
    m_LineStarts.clear();
    m_LineStarts.shrink_to_fit();
    endResetModel();
}

int CLinesModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    const std::size_t rows = m_bHex ? (m_strBytes.size() + kHexBytesPerLine - 1) / kHexBytesPerLine
                                    : m_LineStarts.size();
    return static_cast<int>(std::min<std::size_t>(rows, INT_MAX));
}

QString CLinesModel::HexLine(const std::string& bytes, std::size_t offset)
{
    static const char kDigits[] = "0123456789abcdef";
    char line[8 + 2 + kHexBytesPerLine * 3 + 1 + 1 + kHexBytesPerLine + 1];
    std::size_t at = 0;
    for (int shift = 28; shift >= 0; shift -= 4)
        line[at++] = kDigits[(offset >> shift) & 0xF];
    line[at++] = ' ';
    line[at++] = ' ';
    const std::size_t end = std::min(bytes.size(), offset + kHexBytesPerLine);
    for (std::size_t i = offset; i < offset + kHexBytesPerLine; ++i) {
        if (i < end) {
            const auto byte = static_cast<unsigned char>(bytes[i]);
            line[at++] = kDigits[byte >> 4];
            line[at++] = kDigits[byte & 0xF];
        } else {
            line[at++] = ' ';
            line[at++] = ' ';
        }
        line[at++] = ' ';
        if (i - offset == kHexBytesPerLine / 2 - 1)
            line[at++] = ' ';
    }
    line[at++] = ' ';
    for (std::size_t i = offset; i < end; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        line[at++] = byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
    }
    return QString::fromLatin1(line, static_cast<qsizetype>(at));
}

QString CLinesModel::Line(int row) const
{
    if (row < 0 || row >= rowCount())
        return QString();
    const auto index = static_cast<std::size_t>(row);
    if (m_bHex)
        return HexLine(m_strBytes, index * kHexBytesPerLine);
    const std::size_t begin = m_LineStarts[index];
    std::size_t end = index + 1 < m_LineStarts.size() ? m_LineStarts[index + 1] : m_strBytes.size();
    while (end > begin && (m_strBytes[end - 1] == '\n' || m_strBytes[end - 1] == '\r'))
        --end;
    return QString::fromUtf8(m_strBytes.data() + begin, static_cast<qsizetype>(end - begin));
}

QVariant CLinesModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || role != Qt::DisplayRole)
        return QVariant();
    return Line(index.row());
}

QString CLinesModel::LinesText(int first, int last) const
{
    QString text;
    for (int row = std::max(first, 0); row <= last && row < rowCount(); ++row)
        text += Line(row) + QLatin1Char('\n');
    return text;
}
