#include "ui/viewers/RecieveDataWatcherDlg.h"

#include "trace/TraceAppState.h"
#include "trace/TraceStore.h"

CRecieveDataWatcherDlg::CRecieveDataWatcherDlg()
    : CViewerPage(SViewerTemplate{
          QStringLiteral("Response Viewer"), QSize(316, 151), IDC_PANE, QRect(7, 24, 302, 120),
          true, QRect(149, 7, 82, 12), "Trace Recieve Data copied to clipboard", true})
{
}

std::string CRecieveDataWatcherDlg::TakeFeedText() const
{
    return TraceApp().m_pTraceStore->TakeResponseText();
}

void CRecieveDataWatcherDlg::ClearFeedText()
{
    TraceApp().m_pTraceStore->ClearResponseText();
}
