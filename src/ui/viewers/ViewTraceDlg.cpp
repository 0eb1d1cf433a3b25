#include "ui/viewers/ViewTraceDlg.h"

#include "app/TraceApp.h"
#include "trace/TraceStore.h"

CViewTraceDlg::CViewTraceDlg()
    : CViewerPage(SViewerTemplate{
          QStringLiteral("Request Viewer"), QSize(295, 168), IDC_PANE, QRect(7, 25, 275, 136),
          false, QRect(147, 7, 82, 12), "Text copied to clipboard", true})
{
}

std::string CViewTraceDlg::TakeFeedText() const
{
    return GetTraceApp().m_pTraceStore->TakeRequestText();
}

void CViewTraceDlg::ClearFeedText()
{
    GetTraceApp().m_pTraceStore->ClearRequestText();
}
