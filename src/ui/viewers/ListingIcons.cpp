#include "ui/viewers/ListingIcons.h"

#include <QPainter>
#include <QPixmap>
#include <QPolygonF>

namespace {

// An arrow across a 16 x 16 square: pointing right for what went to the server, left for
// what came back from it.
QIcon MakeArrowIcon(bool pointsRight, const QColor& color)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    // The outline pointing right; the one pointing left is its mirror image.
    static const QPointF kOutline[] = {{1, 6}, {8, 6}, {8, 2}, {15, 8}, {8, 14}, {8, 10}, {1, 10}};
    QPolygonF arrow;
    for (const QPointF& point : kOutline)
        arrow << QPointF(pointsRight ? point.x() : 16 - point.x(), point.y());
    painter.setPen(QPen(color.darker(160), 1));
    painter.setBrush(color);
    painter.drawPolygon(arrow);
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
