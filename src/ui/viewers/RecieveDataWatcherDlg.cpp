#include "ui/viewers/RecieveDataWatcherDlg.h"

#include "trace/TraceStore.h"

CRecieveDataWatcherDlg::CRecieveDataWatcherDlg(CTraceApp& app)
    : CViewerPage(app, SViewerTemplate{
          QStringLiteral("Response Viewer"), QSize(316, 151), IDC_PANE, QRect(7, 24, 302, 120),
          true, QRect(149, 7, 82, 12), "Trace Recieve Data copied to clipboard", true})
{
}

std::string CRecieveDataWatcherDlg::TakeFeedText() const
{
    return Store()->TakeResponseText();
}

void CRecieveDataWatcherDlg::ClearFeedText()
{
    Store()->ClearResponseText();
}
