#pragma once
#include "app/SheetBase.h"
#include "ui/shell/AboutDlg.h"
#include "ui/shell/HttpsDlg.h"
#include "ui/shell/SettingsDlg.h"
#include "ui/viewers/DebugDlg.h"
#include "ui/viewers/ExchangesDlg.h"
#include "ui/viewers/ListDlg.h"
#include "ui/viewers/RecieveDataWatcherDlg.h"
#include "ui/viewers/SavedCapture.h"
#include "ui/viewers/ViewTraceDlg.h"

#include <QIcon>
#include <QPointer>
#include <QRect>
#include <QWidget>

#include <array>

class CTraceApp;
class QTabWidget;

// The one window the user sees: a tabbed sheet holding the eight pages. Like a property sheet,
// the pages lie on top of the tab control's display area (children of the sheet, not of the
// tab control), so the sheet alone decides their rectangles. Closing it ends the run.
class CMainPropSheet : public QWidget, public CSheetBase {
    Q_OBJECT
public:
    enum { kPageCount = 8 };
    // Gap between the active page's right and bottom edges and the tab control's.
    static constexpr int kPageInset = 5;
    // Growth of the window over the size the page templates give.
    static constexpr int kStartGrowth = 10;

    // The pages are handed the application: its settings, switches and trace store.
    explicit CMainPropSheet(CTraceApp& app);
    ~CMainPropSheet() override;

    // Builds the tab control, makes the Setup page (whose initialisation applies the stored
    // settings and starts listening), sizes and centres the window and shows it.
    bool Create();

    // Counters to 0, both viewer panes, the Listing and the Exchanges emptied, closed connections purged.
    // The Debug pane keeps its text.
    void ClearAllData() override;

    // Tab control over the whole client area; the active page stretched to kPageInset pixels
    // inside it, its top-left corner kept.
    void LayoutActivePage();

    // Makes the page of tab index the active one, as a click on its tab does.
    void SetActivePage(int index);

    QTabWidget* GetTabControl() const { return m_pTabs; }
    CPropertyPage* GetPage(int index) const;
    CPropertyPage* GetActivePage() const { return GetPage(m_nActive); }
    int GetActiveIndex() const { return m_nActive; }
    QRect GetPageRect() const { return m_rcPage; }
    // The window size the page templates give, before the start growth.
    QSize GetTemplateWindowSize() const { return m_templateWindowSize; }

    CSettingsDlg& GetSettingsPage() { return m_dlgSettings; }
    CViewTraceDlg& GetRequestPage() { return m_dlgRequest; }
    CRecieveDataWatcherDlg& GetResponsePage() { return m_dlgResponse; }
    CListDlg& GetListPage() { return m_dlgList; }
    CExchangesDlg& GetExchangesPage() { return m_dlgExchanges; }
    CDebugDlg& GetDebugPage() { return m_dlgDebug; }
    CHttpsDlg& GetHttpsPage() { return m_dlgHttps; }
    CAboutDlg& GetAboutPage() { return m_dlgAbout; }
    // The saved capture the Exchanges page and the Listing show instead of the live one.
    CSavedCapture& GetSavedCapture() { return m_SavedCapture; }
    // Opens a saved capture (a session or HAR file) on the Exchanges page; false after a
    // message when it cannot be read.
    bool OpenSavedCapture(const QString& path);

signals:
    // The user closed the window: the run is to end (nothing is asked, nothing saved).
    void sheetClosed();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void OnTabChanged(int index);
    void ShowPage(int index);
    QSize PageAreaSize() const;

    CTraceApp& m_App;
    QIcon m_hIcon;
    CSavedCapture m_SavedCapture; // before the pages that show it
    CDebugDlg m_dlgDebug;
    CListDlg m_dlgList;
    CRecieveDataWatcherDlg m_dlgResponse;
    CViewTraceDlg m_dlgRequest;
    QRect m_rcPage;
    CSettingsDlg m_dlgSettings;
    CAboutDlg m_dlgAbout;
    CHttpsDlg m_dlgHttps;
    CExchangesDlg m_dlgExchanges;

    std::array<CPropertyPage*, kPageCount> m_pages; // in tab order
    QPointer<QTabWidget> m_pTabs;
    QSize m_templateWindowSize;
    int m_nActive = -1;
};
