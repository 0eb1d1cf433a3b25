#include "ui/viewers/DebugDlg.h"

#include "trace/TraceStore.h"

CDebugDlg::CDebugDlg(CTraceApp& app)
    : CViewerPage(app, SViewerTemplate{
          QStringLiteral("Debug"), QSize(276, 165), IDC_PANE, QRect(7, 23, 215, 120), true,
          QRect(), "Text copied to clipboard", false})
{
}

void CDebugDlg::OnInitDialog()
{
    CViewerPage::OnInitDialog();
    if (m_pSavedCapture) { // over the live lines while a saved capture shows
        m_pSavedPane = new CSavedDebugPane(GetWindow(), *m_pSavedCapture);
        m_pSavedPane->ShowCapture();
    }
}

std::string CDebugDlg::TakeFeedText() const
{
    return Store()->TakeDebugText();
}

void CDebugDlg::ClearFeedText()
{
    Store()->ClearDebugText();
}
