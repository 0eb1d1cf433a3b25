#pragma once
#include "trace/ListingFilter.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QTimer>

#include <cstdint>
#include <unordered_map>
#include <vector>

class CTraceRecord;
class CTraceStore;

// The Listing's table: a snapshot of the store's records taken at Refresh, one thin row per
// record, seen through a filter and a sort order. Cell texts are made when the view asks for
// them, except "Resp Time", which keeps the value the record had at Refresh. The rows point
// into the store, which tells the model before it frees records: the rows go then.
//
// A filter over a large snapshot is matched a slice at a time between events, so typing goes
// on while it runs; the rows shown change at once when it is done (filterApplied).
class CListingModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { colSummary, colId, colTime, colBytes, colRespTime, kColumnCount };
    enum class SortState { None, Ascending, Descending };

    explicit CListingModel(QObject* parent = nullptr);
    ~CListingModel() override;

    // Rebuilds the rows from every record of every connection, in store order.
    void Refresh(const CTraceStore& store);
    void Clear();

    // Sets the filter text; returns the error of a bad term (the rows stay as they were) or "".
    std::string SetFilter(const std::string& text);
    // Sorts by a column, or restores record order with SortState::None.
    void Sort(int column, SortState state);
    int GetSortColumn() const { return m_nSortColumn; }
    SortState GetSortState() const { return m_SortState; }

    bool IsFiltering() const { return m_Job.active; }
    // Runs a pending filter to its end at once.
    void FinishFilter();
    // The longest text that a column of the snapshot can show (for its width).
    std::string GetWidestText(int column) const;
    // Rows of the snapshot, visible or not.
    std::size_t GetSnapshotSize() const { return m_Rows.size(); }

    const CTraceRecord* GetRecord(int row) const;
    // The row that shows the record, or -1.
    int FindRecord(const CTraceRecord* record) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    // What a cell of the record's row shows (but its icon), in any table of records;
    // "Resp Time" shows elapsed.
    static QVariant CellData(const CTraceRecord& record, std::int32_t elapsed, int column,
                             int role);

signals:
    void filterApplied();

private:
    struct SRow {
        const CTraceRecord* record;
        std::int32_t elapsedAtRefresh; // what "Resp Time" shows until the next Refresh
        std::int32_t exchange;         // index into m_Facts; -1 outside an exchange or not built yet
    };
    void StartFilter();
    bool RunFilterSlice(std::size_t minimumRows);
    bool PrefetchFacts(); // one slice; true when every pair is known
    void BuildFacts(std::size_t from, std::size_t to);
    void SortSnapshot();

    void ForgetStore();

    const CTraceStore* m_pStore = nullptr; // the store the rows point into, while they do
    std::vector<SRow> m_Rows;       // the snapshot, in record order
    std::vector<std::uint32_t> m_Order; // m_Rows in sort order; empty for record order
    std::vector<SRow> m_Visible;    // what the view shows
    std::vector<SExchangeFacts> m_Facts;
    std::unordered_map<std::uint64_t, std::int32_t> m_FactIndex; // exchange id -> m_Facts; -1: gone
    std::size_t m_nFactsBuilt = 0;  // rows of m_Rows whose pair is known
    CListingFilter m_Filter;
    int m_nSortColumn = -1;
    SortState m_SortState = SortState::None;

    struct SJob {
        bool active = false;
        std::size_t next = 0; // position in sort order
        std::vector<SRow> rows;
    } m_Job;
    QTimer m_JobTimer;
    QIcon m_iconSent;
    QIcon m_iconReceived;
};
