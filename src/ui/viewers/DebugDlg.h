#pragma once
#include "ui/viewers/SavedDebugPane.h"
#include "ui/viewers/ViewerPage.h"

#include <QPointer>

class CSavedCapture;

// "Debug": the proxy's own trace lines, from the debug feed. Unlike the viewers it neither
// lays out nor pulls when its window is made; the first pull comes with the first tick.
// While a saved capture is open, the file's debug lines cover the live ones.
class CDebugDlg : public CViewerPage {
public:
    enum { IDD = 137, IDC_PANE = 1018 };
    explicit CDebugDlg(CTraceApp& app);

    // The saved capture this page shows when one is open (its pane made with the window).
    void SetSavedCapture(CSavedCapture* capture) { m_pSavedCapture = capture; }
    CSavedDebugPane* GetSavedPane() const { return m_pSavedPane; }

protected:
    void OnInitDialog() override;
    std::string TakeFeedText() const override;
    void ClearFeedText() override;

private:
    CSavedCapture* m_pSavedCapture = nullptr;
    QPointer<CSavedDebugPane> m_pSavedPane;
};
