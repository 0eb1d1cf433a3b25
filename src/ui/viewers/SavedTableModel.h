#pragma once
#include "ui/viewers/SavedPageCache.h"

#include <QAbstractTableModel>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CSessionIndex;

// What the tables over a saved capture share: the file, the rows shown held as one number each
// (an exchange's number, a record's row), their items read a page at a time, and the passes
// over the whole file (the first load, a filter, a sort) that run in slices between events,
// the first one at once. A progressive pass shows its rows as they come; another shows them
// when it is done (filterApplied), the rows shown staying until then. A file that fails while
// read is said once, and nothing more is read from it.
class CSavedTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    bool IsLoading() const { return m_bPassActive; }
    // Runs the pass over the file to its end at once.
    virtual void FinishLoading();
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

    // Shows the file (or none) with no rows yet; the derived model then starts its pass.
    void ResetIndex(std::shared_ptr<CSessionIndex> index);
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

    bool m_bPassActive = false;
    bool m_bProgressive = false;
    QTimer m_PassTimer;
};
