#pragma once
#include <QFont>
#include <QRect>

// Converts dialog-template units to pixels from the metrics of the pages' font, the way the
// dialog templates were laid out: 4 horizontal units to the average character width and
// 8 vertical units to the character height.
class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& font);

    int X(int dlu) const { return (dlu * m_nBaseX + 2) / 4; }
    int Y(int dlu) const { return (dlu * m_nBaseY + 4) / 8; }
    QRect Rect(int x, int y, int w, int h) const { return QRect(X(x), Y(y), X(w), Y(h)); }
    QSize Size(int w, int h) const { return QSize(X(w), Y(h)); }

    int BaseX() const { return m_nBaseX; }
    int BaseY() const { return m_nBaseY; }

private:
    int m_nBaseX;
    int m_nBaseY;
};
