#pragma once
#include "ui/viewers/ViewerPage.h"

// "Response Viewer": the text of what the servers returned, from the response feed.
class CRecieveDataWatcherDlg : public CViewerPage {
public:
    enum { IDD = 132, IDC_PANE = 1008 };
    explicit CRecieveDataWatcherDlg(CTraceApp& app);

protected:
    std::string TakeFeedText() const override;
    void ClearFeedText() override;
};
