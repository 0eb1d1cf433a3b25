#pragma once
#include "ui/viewers/ViewerPage.h"

// "Request Viewer": the text of what the browsers sent, from the request feed.
class CViewTraceDlg : public CViewerPage {
public:
    enum { IDD = 131, IDC_PANE = 1007 };
    explicit CViewTraceDlg(CTraceApp& app);

protected:
    std::string TakeFeedText() const override;
    void ClearFeedText() override;
};
