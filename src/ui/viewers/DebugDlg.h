#pragma once
#include "ui/viewers/ViewerPage.h"

// "Debug": the proxy's own trace lines, from the debug feed. Unlike the viewers it neither
// lays out nor pulls when its window is made; the first pull comes with the first tick.
class CDebugDlg : public CViewerPage {
public:
    enum { IDD = 137, IDC_PANE = 1018 };
    explicit CDebugDlg(CTraceApp& app);

protected:
    std::string TakeFeedText() const override;
    void ClearFeedText() override;
};
