#pragma once
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

class CSavedCapture;
class CSavedTableModel;
class QLineEdit;
class QTableView;
class QVBoxLayout;

// What a page shows of a saved capture, in place of its live controls: while one is open it
// covers the whole page (the page's own controls hidden, the live capture going on behind),
// under a marker naming the file with "Open Session..." and "Back to live". Derived panes put
// their controls in Body() and show the capture in OnCaptureChanged.
class CSavedPane : public QWidget {
    Q_OBJECT
public:
    CSavedPane(QWidget* page, CSavedCapture& capture);
    ~CSavedPane() override;

    // Covers the page or not, and shows what the capture holds: at once when made on a page
    // whose capture is open already, then on each change.
    void ShowCapture();
    // Starts the pane on its page: its table takes the live table's column widths, the capture
    // shows if one is open, and Ctrl+O on the page opens another (its box over window()).
    void Start(const QTableView& live, QTableView& saved, std::function<QWidget*()> window);

    QLabel* GetMarker() const { return m_pMarker; }
    QPushButton* GetBackButton() const { return m_pBack; }
    QPushButton* GetOpenButton() const { return m_pOpen; }

protected:
    // A heading clicked: that column rising, then falling, then the file's order again.
    static void SortByHeading(QTableView& list, CSavedTableModel& model, int column);
    // A filter's error (empty: none) below the field, the field's text red while it stands.
    static void ShowFilterError(QLineEdit& filter, QLabel& label, const std::string& error);
    CSavedCapture& Capture() const { return m_Capture; }
    QVBoxLayout* Body() const { return m_pBody; }
    // Opened, replaced or closed: shows what the capture now holds (nothing once closed).
    virtual void OnCaptureChanged() = 0;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Cover();
    void Uncover();

    CSavedCapture& m_Capture;
    QPointer<QWidget> m_pPage;
    QPointer<QLabel> m_pMarker;
    QPointer<QPushButton> m_pOpen;
    QPointer<QPushButton> m_pBack;
    QVBoxLayout* m_pBody = nullptr;
    std::vector<QPointer<QWidget>> m_Covered; // the page's controls that showed before
};
