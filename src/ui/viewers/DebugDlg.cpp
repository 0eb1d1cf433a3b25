#include "ui/viewers/DebugDlg.h"

#include "app/TraceApp.h"
#include "trace/TraceStore.h"

CDebugDlg::CDebugDlg()
    : CViewerPage(SViewerTemplate{
          QStringLiteral("Debug"), QSize(276, 165), IDC_PANE, QRect(7, 23, 215, 120), true,
          QRect(), "Text copied to clipboard", false})
{
}

std::string CDebugDlg::TakeFeedText() const
{
    return GetTraceApp().m_pTraceStore->TakeDebugText();
}

void CDebugDlg::ClearFeedText()
{
    GetTraceApp().m_pTraceStore->ClearDebugText();
}
