#pragma once
#include "trace/ListingFilter.h"
#include "ui/viewers/SavedTableModel.h"

#include <QFutureWatcher>
#include <QIcon>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class CSessionIndex;
class CTraceRecord;

// The Listing's table over a saved capture: one row per record of the file, held as its row
// number only, in the Listing's order (by trace entry, each entry's records in the order they
// were made); the cells of the rows on screen are read a page at a time, with the start of
// each text only. Rows come in slices between events, the first ones at once; a file recorded
// live (its entries interleaved) takes its order once the whole file has been read. A filter
// reads the whole file a slice at a time (the whole texts only for text:) and shows its rows
// when it is done (filterApplied). A sort is SQLite's, on a thread with a connection of its
// own; the rows shown stay until it is done. The columns are those of CListingModel.
class CSavedListingModel : public CSavedTableModel {
    Q_OBJECT
public:
    static constexpr std::size_t kMaxPages = 32;

    explicit CSavedListingModel(QObject* parent = nullptr);
    ~CSavedListingModel() override;

    void SetIndex(std::shared_ptr<CSessionIndex> index);
    std::string SetFilter(const std::string& text);
    // Sorts by a column (CListingModel's), or back to the Listing's order with column -1.
    // Equal keys keep the Listing's order.
    void Sort(int column, bool descending) override;
    bool IsSorting() const { return m_pSortWatcher != nullptr; }
    // Runs the pass to its end, and waits for the sort, at once.
    void FinishLoading() override;

    // The file's row of a table row (0 for none); the table row of a file's row, or -1.
    std::int64_t GetFileRow(int row) const { return GetKey(row); }
    int FindFileRow(std::int64_t fileRow) const { return FindKey(fileRow, false); }
    // The record as its row shows it (the start of its text), or whole, read now (for the
    // text pane); null for no row or a file that failed.
    std::shared_ptr<const CTraceRecord> GetRowRecord(int row) const;
    std::shared_ptr<const CTraceRecord> GetWholeRecord(int row) const;

    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    // A row of the file and its entry's number, which orders it.
    using SRow = std::pair<int, std::int64_t>;
    struct SSorted {
        bool done = false;
        std::string error;
        std::vector<std::int64_t> rows;
    };
    bool IsSorted() const { return m_nSortColumn >= 0; }
    void StartPass();
    long ReadBatch(bool& over) override;
    bool EndSlice() override;
    void EndPass() override;
    void ForgetPages(std::size_t fromRow) override;
    void StartSort();
    void StopSort();
    void OnSorted(SSorted sorted);
    // The sorted rows the filter matched, shown when both are known.
    void ShowSorted();

    CListingFilter m_Filter;
    bool m_bInterleaved = false; // the file's rows are not grouped by entry (known after a pass)
    mutable CSavedPageCache<CTraceRecord> m_Cache{kMaxPages};
    std::vector<std::int64_t> m_Sorted; // every row in the sort's order, once it is done
    bool m_bSortKnown = false;
    std::vector<std::int64_t> m_Matched; // what the filter matched, while sorted
    bool m_bMatchedKnown = false;
    QFutureWatcher<SSorted>* m_pSortWatcher = nullptr;
    std::shared_ptr<std::atomic<bool>> m_pSortStop;

    struct SJob {
        std::int64_t after = 0;
        int lastConnection = 0;
        std::vector<SRow> rows;
    } m_Job;
    QIcon m_iconSent;
    QIcon m_iconReceived;
};
