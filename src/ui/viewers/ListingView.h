#pragma once
#include <QTableView>

// The Listing's list view, a flat report of one line per record. Reports mouse clicks and
// double clicks anywhere in it, after the click has had its effect on the selection (keyboard
// selection changes are not reported).
class CListingView : public QTableView {
    Q_OBJECT
public:
    explicit CListingView(QWidget* parent = nullptr);

signals:
    void mouseClicked();
    void mouseDoubleClicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};
