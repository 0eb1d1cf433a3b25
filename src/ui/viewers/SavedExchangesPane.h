#pragma once
#include "ui/viewers/ExchangeDetails.h"
#include "ui/viewers/ListingView.h"
#include "ui/viewers/SavedExchangeModel.h"
#include "ui/viewers/SavedPane.h"

#include <QFutureWatcher>
#include <QLineEdit>

#include <QPointer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CExchange;
class QMenu;

// The Exchanges page over a saved capture: the file's exchanges in a table read a page at a
// time, the selected one whole in the details below, a filter over the whole file, and the
// copies of the live page's menu.
class CSavedExchangesPane : public CSavedPane {
    Q_OBJECT
public:
    CSavedExchangesPane(QWidget* page, CSavedCapture& capture);
    ~CSavedExchangesPane() override;

    void OnFilterEdited(const QString& text);
    void OnHeaderClicked(int column);
    // Shows the current row's exchange, read whole, below the list.
    void ShowDetails();
    void HideSelectedRows();
    QMenu* MakeContextMenu();
    // The selected exchanges read whole, in row order; the copies are made from them.
    std::vector<std::shared_ptr<const CExchange>> SelectedExchanges() const;
    void CopyLines(const std::function<std::string(const CExchange&)>& line);
    // Where "Copy as curl through Kestrune" sends its requests ("host:port").
    void SetProxyAddress(std::function<std::string()> address)
    {
        m_ProxyAddress = std::move(address);
    }
    // Writes the selected exchanges (or all of the file's) as a HAR file on a thread, with
    // progress; a failure is said in a message. False when an export runs already.
    bool ExportHar(const QString& path, bool selectedOnly);
    // The export running, if any (it ends on its own: for tests to wait on).
    QFutureWatcher<std::string>* GetHarExport() const { return m_pHarExport; }

    CListingView* GetList() const { return m_pList; }
    CSavedExchangeModel* GetModel() const { return m_pModel; }
    CExchangeDetails* GetDetails() const { return m_pDetails; }
    QLineEdit* GetFilter() const { return m_pFilter; }
    QLabel* GetFilterError() const { return m_pFilterError; }

protected:
    void OnCaptureChanged() override;

private:
    void ChooseHarFile(bool selectedOnly);

    QPointer<QLineEdit> m_pFilter;
    QPointer<QLabel> m_pFilterError;
    QPointer<CListingView> m_pList;
    QPointer<CSavedExchangeModel> m_pModel;
    QPointer<CExchangeDetails> m_pDetails;
    std::shared_ptr<const CExchange> m_pShown; // what the details show
    std::uint64_t m_nKeptCurrent = 0;          // the current row's exchange across a filter
    std::function<std::string()> m_ProxyAddress;
    QPointer<QFutureWatcher<std::string>> m_pHarExport;
    std::shared_ptr<std::atomic<bool>> m_pHarStop; // the running export's: set, it gives up
};
