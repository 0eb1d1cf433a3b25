#include "ui/viewers/ListingIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

// An arrow across a 16 x 16 square: pointing right for what went to the server, left for
// what came back from it.
QIcon MakeArrowIcon(bool pointsRight, const QColor& color)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath arrow;
    if (pointsRight) {
        arrow.moveTo(1, 6);
        arrow.lineTo(8, 6);
        arrow.lineTo(8, 2);
        arrow.lineTo(15, 8);
        arrow.lineTo(8, 14);
        arrow.lineTo(8, 10);
        arrow.lineTo(1, 10);
    } else {
        arrow.moveTo(15, 6);
        arrow.lineTo(8, 6);
        arrow.lineTo(8, 2);
        arrow.lineTo(1, 8);
        arrow.lineTo(8, 14);
        arrow.lineTo(8, 10);
        arrow.lineTo(15, 10);
    }
    arrow.closeSubpath();
    painter.setPen(QPen(color.darker(160), 1));
    painter.setBrush(color);
    painter.drawPath(arrow);
    painter.end();
    return QIcon(pixmap);
}

} // namespace

QIcon MakeSentIcon()
{
    return MakeArrowIcon(true, QColor(0x3a, 0x78, 0xd8));
}

QIcon MakeReceivedIcon()
{
    return MakeArrowIcon(false, QColor(0x2e, 0xa0, 0x43));
}
