#pragma once
#include "ui/shell/PropertyPage.h"
#include "ui/viewers/ListingModel.h"
#include "ui/viewers/ListingView.h"
#include "ui/viewers/SavedListingPane.h"
#include "ui/viewers/TextPane.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <string>
#include <unordered_set>
#include <vector>

class CExchange;
class CSavedCapture;
class CTraceApp;
class CTraceRecord;
class CTraceStore;
class QMenu;

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
        IDC_AUTOREFRESH = 1030,
        IDC_FILTER = 1031,
    };
    static constexpr int kAutoRefreshMs = 1000;

    explicit CListDlg(CTraceApp& app);
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

    // Filter, follow and sort.
    void OnFilterEdited(const QString& text);
    void OnAutoRefreshToggled(bool on);
    void OnAutoRefresh();
    void OnHeaderClicked(int column);

    // The rows' context menu and what it does, for the rows that are selected and visible.
    QMenu* MakeContextMenu();
    void OnCopyUrl();
    void OnCopyCurl(bool throughKestrune);
    // Every selected row's connection, or every connection when no row is selected; false
    // (after saying so) when the file cannot be written.
    bool ExportHar(const QString& path);
    // The URLs and curl commands of the selected rows' pairs, one line each, in row order.
    std::vector<std::string> SelectedUrls() const;
    std::vector<std::string> SelectedCurlCommands(bool throughKestrune) const;

    // The saved capture this page shows when one is open (its pane made with the window).
    void SetSavedCapture(CSavedCapture* capture) { m_pSavedCapture = capture; }
    CSavedListingPane* GetSavedPane() const { return m_pSavedPane; }

    CListingView* GetList() const { return m_pList; }
    CListingModel* GetModel() const { return m_pModel; }
    CTextPane* GetPane() const { return m_pText; }
    QLineEdit* GetFilter() const { return m_pFilter; }
    QLabel* GetFilterError() const { return m_pFilterError; }
    QCheckBox* GetAutoRefresh() const { return m_pAutoRefresh; }

protected:
    void OnInitDialog() override;
    int GetPreferredWidth(const QFont& font) const override;

private:
    const CTraceStore* Store() const;
    // What survives the rows being replaced (an automatic refresh, a filter, a sort).
    void KeepViewState();
    void RestoreViewState();
    void FitColumns();
    // A heading's width with room for the sort indicator and the cell's margins.
    int HeadingWidth(int column) const;
    std::vector<const CTraceRecord*> SelectedRecords() const;
    // The exchanges of the selected rows, each once, in row order.
    std::vector<const CExchange*> SelectedExchanges() const;

    struct SViewState {
        std::unordered_set<const CTraceRecord*> selected;
        const CTraceRecord* current = nullptr;
        const CTraceRecord* top = nullptr;
        bool atBottom = false;
    } m_Kept;
    CTraceApp& m_App; // the store shown, Clear Data and the listening port
    bool m_bFollowing = false;  // an automatic refresh is on its way to the rows
    bool m_bSelectionHidden = false; // m_Kept's selection waits for its rows to show again
    bool m_bRestoring = false;
    int m_nListTop = 0; // where the list and pane start while no filter error shows
    bool m_bColumnsFitted = false;

    QPointer<QPushButton> m_pRefresh;
    QPointer<QPushButton> m_pShow;
    QPointer<QPushButton> m_pCopyText;
    QPointer<QPushButton> m_pClear;
    QPointer<QCheckBox> m_pFixCR;
    QPointer<CListingView> m_pList;
    QPointer<CTextPane> m_pText;
    QPointer<CListingModel> m_pModel;
    QPointer<QCheckBox> m_pAutoRefresh;
    QPointer<QLabel> m_pFilterLabel;
    QPointer<QLineEdit> m_pFilter;
    QPointer<QLabel> m_pFilterError;
    QPointer<QTimer> m_pAutoTimer;
    CSavedCapture* m_pSavedCapture = nullptr;
    QPointer<CSavedListingPane> m_pSavedPane;
};
