#include "ui/viewers/ListingView.h"

#include <QHeaderView>
#include <QMouseEvent>

CListingView::CListingView(QWidget* parent)
    : QTableView(parent)
{
    // A table keeps no item per row, and fixed row heights let a million rows scroll.
    QHeaderView* rows = verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(qMax(16, fontMetrics().height()) + 2);
    rows->setMinimumSectionSize(1);

    QHeaderView* columns = horizontalHeader();
    columns->setStretchLastSection(false);
    columns->setSectionsMovable(false);
    columns->setHighlightSections(false);
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    setShowGrid(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setTabKeyNavigation(false); // Tab leaves the list, as it does from any control of a page
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTextElideMode(Qt::ElideRight);
    setIconSize(QSize(16, 16));
}

void CListingView::mouseReleaseEvent(QMouseEvent* event)
{
    QTableView::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton)
        emit mouseClicked();
}

void CListingView::mouseDoubleClickEvent(QMouseEvent* event)
{
    QTableView::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
        emit mouseDoubleClicked();
}
