#pragma once
#include "ui/shell/DialogUnits.h"

#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>

#include <memory>

class CPropertyPage;

// The window of a page: forwards size changes and timer ticks to its page object.
class CPageWindow : public QWidget {
    Q_OBJECT
public:
    CPageWindow(CPropertyPage* page, QWidget* parent);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    CPropertyPage* m_pPage;
};

// A page of the property sheet. The page object lives as long as the sheet; its window (and
// every control in it) is made the first time its tab is shown. Operations that other code
// calls on a page must do nothing to its controls while HasWindow() is false.
class CPropertyPage {
public:
    // templateSize is the page's dialog-template size in dialog units.
    CPropertyPage(QString title, QSize templateSize);
    virtual ~CPropertyPage();

    CPropertyPage(const CPropertyPage&) = delete;
    CPropertyPage& operator=(const CPropertyPage&) = delete;

    const QString& GetTitle() const { return m_strTitle; }
    QSize GetTemplateSize() const { return m_templateSize; }
    QWidget* GetWindow() const { return m_pWindow.data(); }
    bool HasWindow() const { return !m_pWindow.isNull(); }

    // Makes the page's window inside parent and runs OnInitDialog. Called by the sheet.
    QWidget* CreateWindow(QWidget* parent);

    // The sheet calls these when the page becomes, or stops being, the active page.
    virtual void OnSetActive() {}
    virtual void OnKillActive() {}

    // Pixels of width the page needs to show every control in full with the given font; 0 when
    // its template's width is enough. The sheet opens at least this wide.
    virtual int GetPreferredWidth(const QFont& font) const { (void)font; return 0; }

    // Forwarded from the page window.
    virtual void OnSize(int width, int height) { (void)width; (void)height; }
    virtual void OnTimer(int timerId) { (void)timerId; }

protected:
    // Creates the page's controls; the window exists when it runs.
    virtual void OnInitDialog() = 0;

    // Dialog-unit conversion for the page's font.
    const CDialogUnits& Units() const { return *m_pUnits; }
    QRect DluRect(int x, int y, int w, int h) const { return m_pUnits->Rect(x, y, w, h); }

private:
    QString m_strTitle;
    QSize m_templateSize;
    QPointer<QWidget> m_pWindow;
    std::unique_ptr<CDialogUnits> m_pUnits;
};
