#include "ui/shell/DialogUnits.h"

#include <QFontMetrics>

CDialogUnits::CDialogUnits(const QFont& font)
{
    QFontMetrics metrics(font);
    static const QString kAlphabet =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const int width = metrics.horizontalAdvance(kAlphabet);
    m_nBaseX = qMax(1, (width / 26 + 1) / 2);
    m_nBaseY = qMax(1, metrics.height());
}
