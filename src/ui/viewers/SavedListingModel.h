#pragma once
#include "trace/ListingFilter.h"
#include "ui/viewers/SavedTableModel.h"

#include <QIcon>

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
// when it is done (filterApplied). A sort is CSavedTableModel's. The columns are those of
// CListingModel.
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
    SortJob MakeSortJob() const override;
    bool ShowsEveryRow() const override { return m_Filter.IsEmpty(); }
    void StartPass();
    long ReadBatch(bool& over) override;
    bool EndSlice() override;
    void EndPass() override;
    void ForgetPages(std::size_t fromRow) override;

    CListingFilter m_Filter;
    bool m_bInterleaved = false; // the file's rows are not grouped by entry (known after a pass)
    mutable CSavedPageCache<CTraceRecord> m_Cache{kMaxPages};

    struct SJob {
        std::int64_t after = 0;
        int lastConnection = 0;
        std::vector<SRow> rows;
    } m_Job;
    QIcon m_iconSent;
    QIcon m_iconReceived;
};
