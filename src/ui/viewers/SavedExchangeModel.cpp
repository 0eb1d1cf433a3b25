#include "ui/viewers/SavedExchangeModel.h"

#include "platform/MessageBox.h"
#include "session/SessionIndex.h"
#include "trace/Exchange.h"
#include "ui/viewers/ExchangeCells.h"
#include "ui/viewers/ExchangeModel.h"

#include <QElapsedTimer>

#include <algorithm>
#include <climits>

namespace {
// A slice gives the event loop back after this long; the first takes at least a screenful.
constexpr qint64 kSliceNs = 15'000'000;
constexpr std::size_t kFirstSliceRows = 2'000;
constexpr std::size_t kIdsPerRead = 8192;
constexpr std::size_t kExchangesPerRead = 512;
} // namespace

CSavedExchangeModel::CSavedExchangeModel(QObject* parent)
    : QAbstractTableModel(parent)
{
    m_JobTimer.setSingleShot(true);
    m_JobTimer.setInterval(0);
    connect(&m_JobTimer, &QTimer::timeout, this, [this] {
        if (!RunSlice(0))
            m_JobTimer.start();
    });
}

CSavedExchangeModel::~CSavedExchangeModel() = default;

void CSavedExchangeModel::SetIndex(std::shared_ptr<CSessionIndex> index)
{
    m_JobTimer.stop();
    m_Job = SJob();
    beginResetModel();
    m_pIndex = std::move(index);
    m_Visible.clear();
    m_Visible.shrink_to_fit();
    m_Hidden.clear();
    m_Cache.Clear();
    m_bFailed = false;
    m_bSortedView = false;
    endResetModel();
    if (m_pIndex)
        StartPass();
}

std::string CSavedExchangeModel::SetFilter(const std::string& text)
{
    CExchangeFilter filter = CExchangeFilter::Parse(text);
    if (!filter.GetError().empty())
        return filter.GetError();
    m_Filter = std::move(filter);
    if (m_pIndex)
        StartPass();
    return std::string();
}

void CSavedExchangeModel::StartPass()
{
    m_JobTimer.stop();
    m_Job = SJob();
    if (m_bFailed)
        return;
    m_Job.active = true;
    m_Job.progressive = m_Filter.IsEmpty() && m_Hidden.empty() && m_nSortColumn < 0;
    if (m_Job.progressive && !m_Visible.empty()) {
        beginResetModel();
        m_bSortedView = false;
        m_Visible.clear();
        m_Cache.Clear();
        endResetModel();
    }
    if (!RunSlice(kFirstSliceRows))
        m_JobTimer.start();
}

void CSavedExchangeModel::FinishLoading()
{
    if (!m_Job.active)
        return;
    m_JobTimer.stop();
    while (!RunSlice(SIZE_MAX)) { } // again only once, after finding the file's order
}

bool CSavedExchangeModel::RunSlice(std::size_t minimumRows)
{
    QElapsedTimer clock;
    clock.start();
    std::size_t done = 0;
    bool over = false;
    std::vector<std::uint64_t> ids;
    const auto depth =
        m_Filter.NeedsWholeExchange() ? CSessionIndex::EDepth::Whole : CSessionIndex::EDepth::Light;
    while (!over && (done < minimumRows || clock.nsecsElapsed() < kSliceNs)) {
        long read = 0;
        if (m_Filter.IsEmpty() && m_nSortColumn < 0) {
            ids.clear();
            if (!m_pIndex->ExchangeIds(m_Job.after, kIdsPerRead, ids)) {
                Fail();
                return true;
            }
            read = static_cast<long>(ids.size());
            for (std::uint64_t id : ids)
                if (m_Hidden.empty() || !m_Hidden.count(id))
                    m_Job.rows.push_back(id);
            if (!ids.empty())
                m_Job.after = ids.back();
            over = ids.size() < kIdsPerRead;
        } else {
            read = m_pIndex->VisitExchanges(
                m_Job.after, kExchangesPerRead, depth, [this](const CExchange& e) {
                    m_Job.after = e.m_nId;
                    if ((!m_Hidden.empty() && m_Hidden.count(e.m_nId)) || !m_Filter.Matches(e))
                        return;
                    m_Job.rows.push_back(e.m_nId);
                    if (m_nSortColumn < 0)
                        return;
                    if (CExchangeModel::IsTextColumn(m_nSortColumn))
                        m_Job.texts.emplace_back(CExchangeModel::TextKey(e, m_nSortColumn));
                    else
                        m_Job.numbers.push_back(CExchangeModel::NumberKey(e, m_nSortColumn));
                });
            if (read < 0) {
                Fail();
                return true;
            }
            over = static_cast<std::size_t>(read) < kExchangesPerRead;
        }
        done += static_cast<std::size_t>(read);
    }
    if (m_Job.progressive && !m_Job.rows.empty()) {
        const int first = static_cast<int>(m_Visible.size());
        beginInsertRows(QModelIndex(), first, first + static_cast<int>(m_Job.rows.size()) - 1);
        m_Cache.ForgetFrom(m_Visible.size());
        m_Visible.insert(m_Visible.end(), m_Job.rows.begin(), m_Job.rows.end());
        m_Job.rows.clear();
        endInsertRows();
    }
    if (!over)
        return false;
    EndPass();
    return true;
}

void CSavedExchangeModel::Sort(int column, bool descending)
{
    m_nSortColumn = column >= 0 && column < CExchangeModel::kColumnCount ? column : -1;
    m_bDescending = m_nSortColumn >= 0 && descending;
    if (m_pIndex)
        StartPass();
}

void CSavedExchangeModel::SortRows()
{
    std::vector<std::uint32_t> order(m_Job.rows.size());
    for (std::uint32_t i = 0; i < order.size(); ++i)
        order[i] = i;
    const bool text = !m_Job.texts.empty();
    const bool descending = m_bDescending;
    // Rows were read in rising numbers: a stable sort keeps that order among equal keys.
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        if (descending)
            std::swap(a, b);
        return text ? m_Job.texts[a] < m_Job.texts[b] : m_Job.numbers[a] < m_Job.numbers[b];
    });
    std::vector<std::uint64_t> rows(order.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        rows[i] = m_Job.rows[order[i]];
    m_Job.rows = std::move(rows);
}

void CSavedExchangeModel::EndPass()
{
    if (!m_Job.progressive) {
        const bool sorted =
            m_nSortColumn >= 0 && m_Job.rows.size() == m_Job.numbers.size() + m_Job.texts.size();
        if (sorted)
            SortRows();
        beginResetModel();
        m_bSortedView = sorted;
        m_Visible = std::move(m_Job.rows);
        m_Cache.Clear();
        endResetModel();
    }
    m_Visible.shrink_to_fit();
    m_Job = SJob();
    emit filterApplied();
}

void CSavedExchangeModel::Fail()
{
    m_JobTimer.stop();
    const bool progressive = m_Job.progressive;
    m_Job = SJob();
    if (m_bFailed)
        return;
    m_bFailed = true;
    // What was read stays shown; the message says why the rest is missing.
    const std::string message = m_pIndex ? m_pIndex->Error() : std::string();
    if (!progressive)
        emit filterApplied();
    QTimer::singleShot(0, this, [message] { ShowMessageBox(message); });
}

void CSavedExchangeModel::HideRows(const std::vector<int>& rows)
{
    for (int row : RowsLastFirst(rows, m_Visible.size())) {
        beginRemoveRows(QModelIndex(), row, row);
        m_Hidden.insert(m_Visible[static_cast<std::size_t>(row)]);
        m_Visible.erase(m_Visible.begin() + row);
        m_Cache.ForgetFrom(static_cast<std::size_t>(row));
        endRemoveRows();
    }
}

std::uint64_t CSavedExchangeModel::GetId(int row) const
{
    return row >= 0 && static_cast<std::size_t>(row) < m_Visible.size()
               ? m_Visible[static_cast<std::size_t>(row)]
               : 0;
}

int CSavedExchangeModel::FindId(std::uint64_t id) const
{
    if (m_bSortedView) {
        const auto found = std::find(m_Visible.begin(), m_Visible.end(), id);
        return found == m_Visible.end() ? -1 : static_cast<int>(found - m_Visible.begin());
    }
    const auto at = std::lower_bound(m_Visible.begin(), m_Visible.end(), id); // rising numbers
    return at != m_Visible.end() && *at == id ? static_cast<int>(at - m_Visible.begin()) : -1;
}

std::shared_ptr<const CExchange> CSavedExchangeModel::GetRowExchange(int row) const
{
    if (!m_pIndex || row < 0 || m_bFailed)
        return nullptr;
    return m_Cache.Get(static_cast<std::size_t>(row), m_Visible.size(),
                       [this](std::size_t first, std::size_t count, auto& items) {
                           for (std::size_t i = first; i < first + count; ++i) {
                               auto exchange = std::make_shared<CExchange>();
                               items.push_back(m_pIndex->ReadExchange(m_Visible[i],
                                                                      CSessionIndex::EDepth::Light,
                                                                      *exchange)
                                                   ? std::move(exchange)
                                                   : nullptr);
                           }
                       });
}

std::shared_ptr<const CExchange> CSavedExchangeModel::GetWholeExchange(int row) const
{
    const std::uint64_t id = GetId(row);
    auto exchange = std::make_shared<CExchange>();
    if (!m_pIndex || id == 0
        || !m_pIndex->ReadExchange(id, CSessionIndex::EDepth::Whole, *exchange)) {
        if (m_pIndex && !m_pIndex->Error().empty())
            ShowMessageBox(m_pIndex->Error());
        return nullptr;
    }
    return exchange;
}

int CSavedExchangeModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0
                            : static_cast<int>(std::min<std::size_t>(m_Visible.size(), INT_MAX));
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
