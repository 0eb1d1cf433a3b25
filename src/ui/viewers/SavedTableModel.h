#pragma once
#include "ui/viewers/SavedPageCache.h"

#include <QAbstractTableModel>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

template <typename T> class QFutureWatcher;

class CSessionIndex;

// What the tables over a saved capture share: the file, the rows shown held as one number each
// (an exchange's number, a record's row), their items read a page at a time, and the passes
// over the whole file (the first load, a filter, a sort) that run in slices between events,
// the first one at once. A progressive pass shows its rows as they come; another shows them
// when it is done (filterApplied), the rows shown staying until then. A file that fails while
// read is said once, and nothing more is read from it.
//
// A sort is SQLite's, of every row of the file, on a thread with a connection of its own: the
// table's memory stays one number per row however many the file holds, and the loop stays free.
// The rows shown stay until it is done; a filter's rows are then shown in the sort's order.
class CSavedTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    bool IsLoading() const { return m_bPassActive; }
    bool IsSorting() const { return m_pSortWatcher != nullptr; }
    // Runs the pass over the file to its end, and waits for the sort, at once.
    void FinishLoading();
    // Sorts by a column, or back to the file's order with column -1; equal keys keep that order.
    virtual void Sort(int column, bool descending) = 0;
    int GetSortColumn() const { return m_nSortColumn; }
    bool IsSortDescending() const { return m_bDescending; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;

signals:
    void filterApplied();

protected:
    explicit CSavedTableModel(QObject* parent);
    ~CSavedTableModel() override;

    // Every key of the file in the order of the sort asked for, into keys (on a thread, with an
    // index of its own; stop set: given up); false when the file failed.
    using SortJob = std::function<bool(CSessionIndex& index, const std::atomic<bool>& stop,
                                       std::vector<std::int64_t>& keys)>;
    virtual SortJob MakeSortJob() const = 0;
    // No row of the file is left out (no filter, nothing hidden): the sort's rows are the rows.
    virtual bool ShowsEveryRow() const = 0;

    // Shows the file (or none) with no rows yet, its sort started; the derived model then
    // starts its pass.
    void ResetIndex(std::shared_ptr<CSessionIndex> index);
    // Takes the sort's column (-1: none) and direction; a different one starts another sort.
    void SetSortColumn(int column, bool descending);
    bool IsSorted() const { return m_nSortColumn >= 0; }
    // Before a pass: true when it is not needed, every row being the sort's, which shows them
    // once it is done.
    bool SkipPassForSort();
    // After a pass while sorted: the rows it matched, in the file's order (none when it was
    // progressive), shown in the sort's order once that is known.
    void EndSortedPass(std::vector<std::int64_t> rows);
    // The rows shown are in the sort's order, not the file's.
    bool AreRowsSorted() const { return m_bRowsSorted; }
    // Starts a pass (the one running stops), after the derived model has set up its own.
    void StartPass(bool progressive);
    void StopPass();
    bool IsProgressive() const { return m_bProgressive; }
    // One read of the pass: how many rows of the file it read (fewer than asked: `over`), or
    // -1 when the file failed.
    virtual long ReadBatch(bool& over) = 0;
    // After each slice; false starts the pass again from the file's start, not progressive.
    virtual bool EndSlice() { return true; }
    virtual void EndPass() = 0;
    // The pages kept from the one holding row on are stale (0: all of them).
    virtual void ForgetPages(std::size_t fromRow) = 0;
    virtual void OnFailed() { }

    // Adds rows below the ones shown; replaces the rows shown.
    void AppendRows(const std::vector<std::int64_t>& rows);
    void ShowRows(std::vector<std::int64_t> rows);
    // The number a row holds, 0 for none; the row of a number, -1 when not shown.
    std::int64_t GetKey(int row) const;
    int FindKey(std::int64_t key, bool rising) const;
    // The file's problem, told once and later: nothing more is read from it.
    void Fail();
    // The file's problem after a read asked for by the user, told now.
    void ReportError() const;

    // The row's item from its page, the page read with read(key) per row when it is not kept.
    template <typename T, typename Read>
    std::shared_ptr<const T> RowItem(CSavedPageCache<T>& cache, int row, Read read) const
    {
        if (!m_pIndex || row < 0 || m_bFailed)
            return nullptr;
        return cache.Get(static_cast<std::size_t>(row), m_Visible.size(),
                         [this, &read](std::size_t first, std::size_t count, auto& items) {
                             for (std::size_t i = first; i < first + count; ++i)
                                 items.push_back(read(m_Visible[i]));
                         });
    }

    std::shared_ptr<CSessionIndex> m_pIndex;
    std::vector<std::int64_t> m_Visible;
    bool m_bFailed = false;
    int m_nSortColumn = -1;
    bool m_bDescending = false;

private:
    bool RunSlice(std::size_t minimumRows); // true when the pass is over
    struct SSorted;
    void StartSort();
    void StopSort();
    void OnSorted(SSorted sorted);
    // The sorted rows the pass matched, shown when both are known.
    void ShowSorted();

    std::vector<std::int64_t> m_Sorted; // every row in the sort's order, once it is done
    bool m_bSortKnown = false;
    std::vector<std::int64_t> m_Matched; // what the pass matched, while sorted
    bool m_bMatchedKnown = false;
    bool m_bRowsSorted = false;
    QFutureWatcher<SSorted>* m_pSortWatcher = nullptr;
    std::shared_ptr<std::atomic<bool>> m_pSortStop;

    bool m_bPassActive = false;
    bool m_bProgressive = false;
    QTimer m_PassTimer;
};
