#pragma once
#include "ui/viewers/ExchangeFilter.h"
#include "ui/viewers/SavedTableModel.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

class CExchange;
class CSessionIndex;

// The Exchanges table over a saved capture: one row per exchange of the file, held as its
// number only; the cells of the rows on screen are read a page at a time from the file.
// Rows come in slices between events, the first ones at once. A filter reads the whole file a
// slice at a time (the heads and bodies only for text:) and shows its rows when it is done
// (filterApplied); the rows shown stay until then. A sort is CSavedTableModel's, by the keys
// CExchangeModel sorts by. The columns are those of CExchangeModel.
class CSavedExchangeModel : public CSavedTableModel {
    Q_OBJECT
public:
    static constexpr std::size_t kMaxPages = 32;

    explicit CSavedExchangeModel(QObject* parent = nullptr);
    ~CSavedExchangeModel() override;

    // Shows the file's exchanges, or none (null).
    void SetIndex(std::shared_ptr<CSessionIndex> index);
    // The error of a bad term (the rows stay as they were) or "".
    std::string SetFilter(const std::string& text);
    // Sorts by a column (CExchangeModel's), or back to the file's order with column -1. Equal
    // keys keep the file's order.
    void Sort(int column, bool descending) override;
    // Hides rows from the view (not from the file) until another file is shown.
    void HideRows(const std::vector<int>& rows);

    // The exchange number of a row, 0 for none; the row of a number, -1 when not shown.
    std::uint64_t GetId(int row) const;
    int FindId(std::uint64_t id) const;
    // The row's exchange as its row shows it (no request heads, no bodies' bytes), or whole
    // (read now); null for no row or a file that failed.
    std::shared_ptr<const CExchange> GetRowExchange(int row) const;
    std::shared_ptr<const CExchange> GetWholeExchange(int row) const;
    std::size_t GetCachedPages() const { return m_Cache.GetPageCount(); }

    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    SortJob MakeSortJob() const override;
    bool ShowsEveryRow() const override { return m_Filter.IsEmpty() && m_Hidden.empty(); }
    void StartPass();
    long ReadBatch(bool& over) override;
    void EndPass() override;
    void ForgetPages(std::size_t fromRow) override;

    std::unordered_set<std::uint64_t> m_Hidden;
    CExchangeFilter m_Filter;
    mutable CSavedPageCache<CExchange> m_Cache{kMaxPages};

    struct SJob {
        std::uint64_t after = 0; // the last exchange number read
        std::vector<std::int64_t> rows;
    } m_Job;
};
