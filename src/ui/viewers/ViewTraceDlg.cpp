#include "ui/viewers/ViewTraceDlg.h"

#include "trace/TraceStore.h"

CViewTraceDlg::CViewTraceDlg(CTraceApp& app)
    : CViewerPage(app, SViewerTemplate{
          QStringLiteral("Request Viewer"), QSize(295, 168), IDC_PANE, QRect(7, 25, 275, 136),
          false, QRect(147, 7, 82, 12), "Text copied to clipboard", true})
{
}

std::string CViewTraceDlg::TakeFeedText() const
{
    return Store()->TakeRequestText();
}

void CViewTraceDlg::ClearFeedText()
{
    Store()->ClearRequestText();
}
