#include "ui/viewers/SavedDebugPane.h"

#include "platform/MessageBox.h"
#include "session/SessionIndex.h"
#include "ui/viewers/SavedCapture.h"
#include "ui/viewers/ViewerPage.h"

#include <QVBoxLayout>

CSavedDebugPane::CSavedDebugPane(QWidget* page, CSavedCapture& capture)
    : CSavedPane(page, capture)
{
    m_pText = new CTextPane(this);
    m_pText->setObjectName(QStringLiteral("savedDebugLines"));
    m_pText->setAccessibleName(QStringLiteral("Saved debug lines"));
    m_pText->setReadOnly(true);
    Body()->addWidget(m_pText, 1);
}

CSavedDebugPane::~CSavedDebugPane() = default;

void CSavedDebugPane::OnCaptureChanged()
{
    std::string text;
    bool cut = false;
    if (Capture().IsOpen() && !Capture().GetIndex()->ReadDebugTail(PANE_LIMIT, text, cut)) {
        ShowMessageBox(Capture().GetIndex()->Error());
        text.clear();
    }
    m_pText->SetBytes(cut ? kRolledPastMarker + text : text);
}
