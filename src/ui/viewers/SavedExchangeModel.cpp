#include "ui/viewers/SavedExchangeModel.h"

#include "session/SessionIndex.h"
#include "trace/Exchange.h"
#include "ui/viewers/ExchangeCells.h"
#include "ui/viewers/ExchangeModel.h"

#include <algorithm>

namespace {
constexpr std::size_t kIdsPerRead = 8192;
constexpr std::size_t kExchangesPerRead = 512;
} // namespace

CSavedExchangeModel::CSavedExchangeModel(QObject* parent)
    : CSavedTableModel(parent)
{
}

CSavedExchangeModel::~CSavedExchangeModel() = default;

void CSavedExchangeModel::SetIndex(std::shared_ptr<CSessionIndex> index)
{
    m_Job = SJob();
    m_Hidden.clear();
    ResetIndex(std::move(index));
    StartPass();
}

std::string CSavedExchangeModel::SetFilter(const std::string& text)
{
    CExchangeFilter filter = CExchangeFilter::Parse(text);
    if (!filter.GetError().empty())
        return filter.GetError();
    m_Filter = std::move(filter);
    StartPass();
    return std::string();
}

void CSavedExchangeModel::StartPass()
{
    m_Job = SJob();
    if (SkipPassForSort() || !m_pIndex)
        return;
    // Rows shown as they come when there is nothing shown to keep: every row, in the file's
    // order (or sorted, while the sort of a file just shown runs).
    CSavedTableModel::StartPass(ShowsEveryRow() && (!IsSorted() || m_Visible.empty()));
}

long CSavedExchangeModel::ReadBatch(bool& over)
{
    if (m_Filter.IsEmpty()) {
        std::vector<std::uint64_t> ids;
        if (!m_pIndex->ExchangeIds(m_Job.after, kIdsPerRead, ids))
            return -1;
        for (std::uint64_t id : ids)
            if (m_Hidden.empty() || !m_Hidden.count(id))
                m_Job.rows.push_back(static_cast<std::int64_t>(id));
        if (!ids.empty())
            m_Job.after = ids.back();
        over = ids.size() < kIdsPerRead;
        if (IsProgressive()) {
            AppendRows(m_Job.rows);
            m_Job.rows.clear();
        }
        return static_cast<long>(ids.size());
    }
    const auto depth =
        m_Filter.NeedsWholeExchange() ? CSessionIndex::EDepth::Whole : CSessionIndex::EDepth::Light;
    const long read =
        m_pIndex->VisitExchanges(m_Job.after, kExchangesPerRead, depth, [this](const CExchange& e) {
            m_Job.after = e.m_nId;
            if ((!m_Hidden.empty() && m_Hidden.count(e.m_nId)) || !m_Filter.Matches(e))
                return;
            m_Job.rows.push_back(static_cast<std::int64_t>(e.m_nId));
        });
    over = read >= 0 && static_cast<std::size_t>(read) < kExchangesPerRead;
    return read;
}

void CSavedExchangeModel::ForgetPages(std::size_t fromRow)
{
    if (fromRow == 0)
        m_Cache.Clear();
    else
        m_Cache.ForgetFrom(fromRow);
}

void CSavedExchangeModel::Sort(int column, bool descending)
{
    SetSortColumn(column >= 0 && column < CExchangeModel::kColumnCount ? column : -1, descending);
    StartPass();
}

CSavedTableModel::SortJob CSavedExchangeModel::MakeSortJob() const
{
    const int column = m_nSortColumn;
    CSessionIndex::SExchangeSortKey key;
    if (CExchangeModel::IsTextColumn(column))
        key.text = [column](const CExchange& e) { return CExchangeModel::TextKey(e, column); };
    else
        key.number = [column](const CExchange& e) { return CExchangeModel::NumberKey(e, column); };
    const bool descending = m_bDescending;
    return [key, descending](CSessionIndex& index, const std::atomic<bool>& stop,
                             std::vector<std::int64_t>& ids) {
        return index.SortedExchangeIds(key, descending, stop, ids);
    };
}

void CSavedExchangeModel::EndPass()
{
    std::vector<std::int64_t> rows =
        IsProgressive() ? std::vector<std::int64_t>() : std::move(m_Job.rows);
    m_Job = SJob();
    if (!m_Hidden.empty()) // rows hidden while the pass ran
        std::erase_if(rows, [this](std::int64_t id) { return m_Hidden.count(static_cast<std::uint64_t>(id)) > 0; });
    if (IsSorted())
        EndSortedPass(std::move(rows));
    else if (!IsProgressive())
        ShowRows(std::move(rows));
}

void CSavedExchangeModel::HideRows(const std::vector<int>& rows)
{
    for (int row : RowsLastFirst(rows, m_Visible.size())) {
        beginRemoveRows(QModelIndex(), row, row);
        m_Hidden.insert(static_cast<std::uint64_t>(m_Visible[static_cast<std::size_t>(row)]));
        m_Visible.erase(m_Visible.begin() + row);
        m_Cache.ForgetFrom(static_cast<std::size_t>(row));
        endRemoveRows();
    }
    // The sort still runs over every row: the rows left to show, once it is done, are read anew.
    if (IsSorting())
        StartPass();
}

std::uint64_t CSavedExchangeModel::GetId(int row) const
{
    return static_cast<std::uint64_t>(GetKey(row));
}

int CSavedExchangeModel::FindId(std::uint64_t id) const
{
    return FindKey(static_cast<std::int64_t>(id), !AreRowsSorted());
}

std::shared_ptr<const CExchange> CSavedExchangeModel::GetRowExchange(int row) const
{
    return RowItem(m_Cache, row, [this](std::int64_t id) -> std::shared_ptr<const CExchange> {
        auto exchange = std::make_shared<CExchange>();
        return m_pIndex->ReadExchange(static_cast<std::uint64_t>(id), CSessionIndex::EDepth::Light,
                                      *exchange)
                   ? std::move(exchange)
                   : nullptr;
    });
}

std::shared_ptr<const CExchange> CSavedExchangeModel::GetWholeExchange(int row) const
{
    const std::uint64_t id = GetId(row);
    auto exchange = std::make_shared<CExchange>();
    if (!m_pIndex || id == 0
        || !m_pIndex->ReadExchange(id, CSessionIndex::EDepth::Whole, *exchange)) {
        ReportError();
        return nullptr;
    }
    return exchange;
}

int CSavedExchangeModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : CExchangeModel::kColumnCount;
}

QVariant CSavedExchangeModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid()
        || (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::TextAlignmentRole))
        return QVariant();
    const std::shared_ptr<const CExchange> exchange = GetRowExchange(index.row());
    return exchange ? CExchangeModel::CellData(*exchange, index.column(), role) : QVariant();
}

QVariant CSavedExchangeModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    return CExchangeModel::Heading(section);
}
