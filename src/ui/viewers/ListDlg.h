#pragma once
#include "ui/shell/PropertyPage.h"
#include "ui/viewers/ListingModel.h"
#include "ui/viewers/ListingView.h"
#include "ui/viewers/TextPane.h"

#include <QCheckBox>
#include <QPointer>
#include <QPushButton>

// "Listing": a table of every record, rebuilt from the trace store at Refresh, and a pane
// with the full text of the selected rows.
class CListDlg : public CPropertyPage {
public:
    enum {
        IDD = 134,
        IDC_REFRESH = 1021,
        IDC_SHOW = 1022,
        IDC_COPYTEXT = 1012,
        IDC_CLEAR = 1011,
        IDC_FIXCR = 1029,
        IDC_LIST = 1014,
        IDC_TEXT = 1015,
    };

    CListDlg();
    ~CListDlg() override;

    // Drops every row and empties the pane. The sheet's Clear Data calls it before the store
    // purges, so no row is left pointing at a deleted record.
    void ClearListing();

    void OnRefresh();
    void OnShow();
    void OnCopyText();
    void OnFixCarriageReturns();
    void OnClear();
    void UpdateButtonStates();
    void ResizeControls();

    void OnSize(int width, int height) override;

    CListingView* GetList() const { return m_pList; }
    CListingModel* GetModel() const { return m_pModel; }
    CTextPane* GetPane() const { return m_pText; }

protected:
    void OnInitDialog() override;

private:
    QPointer<QPushButton> m_pRefresh;
    QPointer<QPushButton> m_pShow;
    QPointer<QPushButton> m_pCopyText;
    QPointer<QPushButton> m_pClear;
    QPointer<QCheckBox> m_pFixCR;
    QPointer<CListingView> m_pList;
    QPointer<CTextPane> m_pText;
    QPointer<CListingModel> m_pModel;
};
