#pragma once
#include <QAbstractListModel>

#include <cstdint>
#include <string>
#include <vector>

// Lines of a long text or a hex dump for a list view, each made when the view asks for it, so
// that 16 MiB of body shows at once and scrolls without a pause.
class CLinesModel : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr int kHexBytesPerLine = 16;

    explicit CLinesModel(QObject* parent = nullptr);

    // UTF-8 text cut at lineStarts (see SplitLines).
    void SetText(std::string text, std::vector<std::uint32_t> lineStarts);
    // "00000010  48 54 54 50 ...  HTTP/1.1 200 OK.": offset, 16 bytes in hex, then as ASCII.
    void SetHex(std::string bytes);
    void Clear();

    // The whole text of rows [first, last], one line each, as copied to the clipboard.
    QString LinesText(int first, int last) const;
    static QString HexLine(const std::string& bytes, std::size_t offset);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    QString Line(int row) const;

    std::string m_strBytes;
    std::vector<std::uint32_t> m_LineStarts;
    bool m_bHex = false;
};
