#include "ui/viewers/RecieveDataWatcherDlg.h"

#include "app/TraceApp.h"
#include "trace/TraceStore.h"

CRecieveDataWatcherDlg::CRecieveDataWatcherDlg()
    : CViewerPage(SViewerTemplate{
          QStringLiteral("Response Viewer"), QSize(316, 151), IDC_PANE, QRect(7, 24, 302, 120),
          true, QRect(149, 7, 82, 12), "Trace Recieve Data copied to clipboard", true})
{
}

std::string CRecieveDataWatcherDlg::TakeFeedText() const
{
    return GetTraceApp().m_pTraceStore->TakeResponseText();
}

void CRecieveDataWatcherDlg::ClearFeedText()
{
    GetTraceApp().m_pTraceStore->ClearResponseText();
}
