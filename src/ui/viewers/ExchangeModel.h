#pragma once
#include "ui/viewers/ExchangeFilter.h"

#include <QAbstractTableModel>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class CExchange;
class CTraceStore;

// The Exchanges page's table: one thin row per exchange of the store (a pointer, shared with
// the store so that a row never outlives what it shows), taken in as the relay makes them,
// seen through a filter and a sort order. Cell texts are made only when the view asks.
//
// Rows come in with TakeNew (a timer of the page); an exchange still open while a filter is
// set waits aside until it ends, when the filter can judge it. A filter or sort over many rows
// runs a slice at a time between events; the rows shown change at once when it is done
// (filterApplied).
class CExchangeModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { colId, colMethod, colHost, colPath, colStatus, colType, colSize, colTime, colStarted, kColumnCount };
    enum class SortState { None, Ascending, Descending };

    explicit CExchangeModel(QObject* parent = nullptr);
    ~CExchangeModel() override;

    // Takes in the store's exchanges not seen yet (all of them the first time, or after the
    // store freed some). Returns the number of rows added to the view.
    int TakeNew(const CTraceStore& store);
    // Drops every row (Clear Data, or the store about to free exchanges).
    void Clear();
    // Hides rows from the page (not from the store) until the next Clear.
    void HideRows(const std::vector<int>& rows);

    // Sets the filter text; returns the error of a bad term (the rows stay as they were) or "".
    std::string SetFilter(const std::string& text);
    void Sort(int column, SortState state);
    int GetSortColumn() const { return m_nSortColumn; }
    SortState GetSortState() const { return m_SortState; }
    bool IsFiltering() const { return m_Job.active; }
    // Runs a pending filter to its end at once.
    void FinishFilter();

    const CExchange* GetExchange(int row) const;
    int FindExchange(const CExchange* exchange) const;
    std::size_t GetTakenCount() const { return m_All.size(); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    // What a cell of the exchange's row shows, in any table of exchanges.
    static QVariant CellData(const CExchange& exchange, int column, int role);
    static QVariant Heading(int section);
    // What a sort by the column compares: a text for Method, Host, Path and Type, else a number.
    static bool IsTextColumn(int column);
    static std::int64_t NumberKey(const CExchange& exchange, int column);
    static std::string_view TextKey(const CExchange& exchange, int column);

signals:
    void filterApplied();

private:
    void Watch(const CTraceStore& store);
    void ForgetStore();
    bool Accepts(const CExchange& exchange) const;
    void InsertVisible(const CExchange* exchange);
    // Puts the waiting exchanges the filter can judge where they belong.
    void PlaceWaiting();
    std::vector<std::uint32_t> SortedOrder() const;
    void StartFilter();
    bool RunFilterSlice(std::size_t minimumRows);
    bool Before(const CExchange& a, const CExchange& b) const;
    // Keys of the exchange at m_All[index], made again once it has ended.
    SExchangeKeys MakeKeys(const CExchange& exchange);
    // Kept texts are looked up by views, without making a string.
    struct STextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
    };
    using TextIds = std::unordered_map<std::string, std::uint32_t, STextHash, std::equal_to<>>;
    std::uint32_t Intern(std::vector<std::string>& texts, TextIds& ids, std::string_view text);
    void UpdateOpenKeys();
    std::vector<std::uint32_t> SortByPath() const;

    const CTraceStore* m_pStore = nullptr;
    std::vector<std::shared_ptr<const CExchange>> m_All; // in the order the relay made them
    std::vector<SExchangeKeys> m_Keys;                    // m_All's keys, index for index
    std::vector<std::uint32_t> m_OpenKeys;                // m_All indices whose keys were made open
    SExchangeTexts m_Texts;
    TextIds m_HostIds, m_TypeIds, m_MethodIds;
    std::vector<const CExchange*> m_Visible;              // what the view shows
    std::vector<const CExchange*> m_Waiting;              // not placed yet (open, or taken mid-filter)
    std::unordered_set<const CExchange*> m_Hidden;
    std::uint64_t m_nLastId = 0;                          // the newest exchange taken in
    CExchangeFilter m_Filter;
    int m_nSortColumn = -1;
    SortState m_SortState = SortState::None;

    struct SJob {
        bool active = false;
        std::size_t next = 0;
        std::size_t end = 0;              // m_All's size when it started
        std::vector<std::uint32_t> order; // m_All indices in sort order; empty: taken order
        std::vector<const CExchange*> rows;
    } m_Job;
    QTimer m_JobTimer;
};
