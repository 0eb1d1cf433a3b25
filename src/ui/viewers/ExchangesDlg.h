#pragma once
#include "ui/shell/PropertyPage.h"
#include "ui/viewers/ExchangeDetails.h"
#include "ui/viewers/ExchangeModel.h"
#include "ui/viewers/ListingView.h"
#include "ui/viewers/SavedExchangesPane.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QSplitter>
#include <QTimer>

#include <cstdint>
#include <string>
#include <vector>

class CExchange;
class CResendDlg;
class CSavedCapture;
class CTraceApp;
class CTraceStore;
class QMenu;

// "Exchanges": one row per request and its response (and one per undecrypted tunnel), taken
// in live while the page shows; the selected exchange's details below. Filter, sort, hide,
// copy and export as the Listing does.
class CExchangesDlg : public CPropertyPage {
public:
    enum { IDD = 139, IDC_LIST = 1041, IDC_FILTER = 1042 };
    static constexpr int kFollowMs = 500;

    explicit CExchangesDlg(CTraceApp& app);
    ~CExchangesDlg() override;

    // Drops every row and the details. Clear Data calls it before the store purges.
    void ClearExchanges();
    // Takes in the exchanges made since the last call; stays at the newest row while the list
    // is scrolled to the bottom, stays put otherwise.
    void OnFollow();
    void OnFilterEdited(const QString& text);
    void OnHeaderClicked(int column);
    // Shows the current row's exchange below the list.
    void ShowDetails();
    void HideSelectedRows();

    QMenu* MakeContextMenu();
    // The selected exchanges in row order.
    std::vector<const CExchange*> SelectedExchanges() const;
    void CopyUrls();
    void CopyCurl(bool throughKestrune);
    // Where this Kestrune listens, for curl commands sent through it ("127.0.0.1:port").
    std::string ProxyAddress() const;
    void CopyAsText();
    // Sends each selected request again as it was sent (R); says which could not go.
    void ReplaySelected();
    // Opens the editor on the current exchange (Shift+R); null when there is none.
    CResendDlg* EditAndResend();
    // Takes in the new rows and selects the exchange's.
    void SelectExchange(const CExchange* exchange);
    // Every selected exchange's connection (all of them with selectedOnly false); false (after
    // saying so) when the file cannot be written.
    bool ExportHar(const QString& path, bool selectedOnly);

    void OnSetActive() override;
    void OnKillActive() override;
    int GetPreferredWidth(const QFont& font) const override;

    // The saved capture this page shows when one is open (its pane made with the window).
    void SetSavedCapture(CSavedCapture* capture) { m_pSavedCapture = capture; }
    CSavedExchangesPane* GetSavedPane() const { return m_pSavedPane; }

    CListingView* GetList() const { return m_pList; }
    CExchangeModel* GetModel() const { return m_pModel; }
    CExchangeDetails* GetDetails() const { return m_pDetails; }
    QLineEdit* GetFilter() const { return m_pFilter; }
    QLabel* GetFilterError() const { return m_pFilterError; }

protected:
    void OnInitDialog() override;

private:
    const CTraceStore* Store() const;
    void FitColumns();
    void SaveColumns();
    void KeepSelection();
    void RestoreSelection();
    void ChooseHarFile(bool selectedOnly);

    CTraceApp& m_App;
    QPointer<QLabel> m_pFilterLabel;
    QPointer<QLineEdit> m_pFilter;
    QPointer<QLabel> m_pFilterError;
    QPointer<QSplitter> m_pSplitter;
    QPointer<CListingView> m_pList;
    QPointer<CExchangeModel> m_pModel;
    QPointer<CExchangeDetails> m_pDetails;
    QPointer<QTimer> m_pFollowTimer;
    QPointer<QTimer> m_pSaveColumnsTimer;
    std::vector<const CExchange*> m_KeptSelection;
    const CExchange* m_pKeptCurrent = nullptr;
    bool m_bDetailsOpen = false; // the details show an exchange that had not ended
    CSavedCapture* m_pSavedCapture = nullptr;
    QPointer<CSavedExchangesPane> m_pSavedPane;
};
