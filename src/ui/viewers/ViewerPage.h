#pragma once
#include "ui/shell/PropertyPage.h"
#include "ui/viewers/TextPane.h"

#include <QCheckBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRect>

#include <cstddef>
#include <string>

// The most pane text a trace page keeps; past it the oldest text rolls away behind a marker.
inline constexpr std::size_t PANE_LIMIT = 128000;
inline constexpr char kRolledPastMarker[] = "*** rolled past ****\r\n";

// What a page's template holds besides the three shared buttons.
struct SViewerTemplate {
    QString title;
    QSize size;            // dialog units
    int paneId;            // control id of the text pane
    QRect paneRect;        // dialog units
    bool paneTabStop;
    QRect refreshTextRect; // "3 second refresh rate"; null when the template has none
    std::string copyMessage;
    bool pullAtInit;       // the viewers lay out and pull once when their window is made
};

// Shared machinery of the Request Viewer, Response Viewer and Debug pages: a text pane fed
// from one of the store's feeds every 3 seconds while the page is active, with Clear, Copy
// and Freeze.
class CTraceApp;
class CTraceStore;

class CViewerPage : public CPropertyPage {
public:
    enum { IDC_CLEAR = 1011, IDC_COPY = 1012, IDC_FREEZE = 1013 };
    static constexpr int kRefreshPeriodMs = 3000;

    CViewerPage(CTraceApp& app, SViewerTemplate tmpl);
    ~CViewerPage() override;

    // Moves the feed's pending text into the pane (unless frozen), cut to PANE_LIMIT.
    void PullFeed();
    // Empties the pane; the feed keeps its text. Does nothing while the page has no window.
    void ClearPane();
    // Copies the whole pane to the clipboard and shows the page's message.
    void OnCopy();
    // The pane keeps its left and top edges and gets the same margin right and at the bottom.
    void ResizeControls();

    void OnSetActive() override;
    void OnKillActive() override;
    void OnSize(int width, int height) override;
    void OnTimer(int timerId) override;

    // P + N cut to the last PANE_LIMIT bytes behind the marker when longer.
    static std::string RollPaneText(const std::string& joined);

    CTextPane* GetPane() const { return m_pPane; }
    int GetTimerId() const { return m_nTimerId; }
    const std::string& GetCopyMessage() const { return m_tmpl.copyMessage; }

protected:
    void OnInitDialog() override;

    // The store whose feed the page shows; null before start-up has made it.
    CTraceStore* Store() const;

    // The page's feed in the trace store.
    virtual std::string TakeFeedText() const = 0;
    virtual void ClearFeedText() = 0;

private:
    void StopTimer();

    CTraceApp& m_App;
    SViewerTemplate m_tmpl;
    QPointer<QPushButton> m_pClear;
    QPointer<QPushButton> m_pCopy;
    QPointer<QCheckBox> m_pFreeze;
    QPointer<QLabel> m_pRefreshText;
    QPointer<CTextPane> m_pPane;
    int m_nTimerId = 0;
};
