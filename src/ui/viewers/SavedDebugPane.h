#pragma once
#include "ui/viewers/SavedPane.h"
#include "ui/viewers/TextPane.h"

#include <QPointer>

// The Debug page over a saved capture: the debug lines the file kept, the last PANE_LIMIT
// bytes of them as the live page would hold, in place of the live lines (which go on behind).
class CSavedDebugPane : public CSavedPane {
    Q_OBJECT
public:
    CSavedDebugPane(QWidget* page, CSavedCapture& capture);
    ~CSavedDebugPane() override;

    CTextPane* GetPane() const { return m_pText; }

protected:
    void OnCaptureChanged() override;

private:
    QPointer<CTextPane> m_pText;
};
