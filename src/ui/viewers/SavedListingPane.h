#pragma once
#include "ui/viewers/ListingView.h"
#include "ui/viewers/SavedListingModel.h"
#include "ui/viewers/SavedPane.h"
#include "ui/viewers/TextPane.h"

#include <QCheckBox>
#include <QLineEdit>

#include <QPointer>

#include <string>

// The Listing over a saved capture: the file's records in a table read a page at a time, the
// full texts of the selected rows in the pane beside it (Show, a double click), a filter over
// the whole file.
class CSavedListingPane : public CSavedPane {
    Q_OBJECT
public:
    // Show reads at most this much text, from the first selected rows on.
    static constexpr std::size_t kMaxShownBytes = 64u << 20;

    CSavedListingPane(QWidget* page, CSavedCapture& capture);
    ~CSavedListingPane() override;

    void OnFilterEdited(const QString& text);
    // First click ascending, second descending, third the Listing's order.
    void OnHeaderClicked(int column);
    void OnShow();
    void OnCopyText();

    CListingView* GetList() const { return m_pList; }
    CSavedListingModel* GetModel() const { return m_pModel; }
    CTextPane* GetPane() const { return m_pText; }
    QLineEdit* GetFilter() const { return m_pFilter; }
    QLabel* GetFilterError() const { return m_pFilterError; }

protected:
    void OnCaptureChanged() override;

private:
    QPointer<QPushButton> m_pShow;
    QPointer<QPushButton> m_pCopyText;
    QPointer<QCheckBox> m_pFixCR;
    QPointer<QLineEdit> m_pFilter;
    QPointer<QLabel> m_pFilterError;
    QPointer<CListingView> m_pList;
    QPointer<CSavedListingModel> m_pModel;
    QPointer<CTextPane> m_pText;
};
