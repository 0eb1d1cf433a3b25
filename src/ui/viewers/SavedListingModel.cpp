#include "ui/viewers/SavedListingModel.h"

#include "platform/MessageBox.h"
#include "session/SessionIndex.h"
#include "trace/TraceRecord.h"
#include "ui/viewers/ListingIcons.h"
#include "ui/viewers/ListingModel.h"

#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace {
constexpr std::size_t kRowsPerRead = 8192;
constexpr std::size_t kRecordsPerRead = 1024;
} // namespace

CSavedListingModel::CSavedListingModel(QObject* parent)
    : CSavedTableModel(parent)
    , m_iconSent(MakeSentIcon())
    , m_iconReceived(MakeReceivedIcon())
{
}

CSavedListingModel::~CSavedListingModel() { StopSort(); }

void CSavedListingModel::SetIndex(std::shared_ptr<CSessionIndex> index)
{
    StopSort();
    m_Job = SJob();
    m_bInterleaved = false;
    m_Sorted.clear();
    m_bSortKnown = false;
    ResetIndex(std::move(index));
    if (IsSorted())
        StartSort();
    StartPass();
}

std::string CSavedListingModel::SetFilter(const std::string& text)
{
    CListingFilter filter = CListingFilter::Parse(text);
    if (!filter.GetError().empty())
        return filter.GetError();
    m_Filter = std::move(filter);
    StartPass();
    return std::string();
}

void CSavedListingModel::Sort(int column, bool descending)
{
    column = column >= 0 && column < CListingModel::kColumnCount ? column : -1;
    const bool same = column == m_nSortColumn && (column < 0 || descending == m_bDescending);
    m_nSortColumn = column;
    m_bDescending = column >= 0 && descending;
    if (!same) {
        StopSort();
        m_Sorted.clear();
        m_Sorted.shrink_to_fit();
        m_bSortKnown = false;
        if (IsSorted())
            StartSort();
    }
    StartPass();
}

void CSavedListingModel::StartPass()
{
    m_Job = SJob();
    m_Matched.clear();
    m_bMatchedKnown = false;
    if (!m_pIndex)
        return;
    // Every row, sorted: the sort has them all. Only a file just shown is read meanwhile.
    if (IsSorted() && m_Filter.IsEmpty() && (m_bSortKnown || !m_Visible.empty())) {
        StopPass();
        m_bMatchedKnown = true;
        if (m_bSortKnown)
            ShowSorted();
        return;
    }
    // Rows shown as they come only while the file's order is the Listing's, as far as known.
    CSavedTableModel::StartPass(m_Filter.IsEmpty() && !m_bInterleaved
                                && (!IsSorted() || m_Visible.empty()));
}

long CSavedListingModel::ReadBatch(bool& over)
{
    if (m_Filter.IsEmpty()) {
        std::vector<std::int64_t> rows;
        std::vector<int> connections;
        if (!m_pIndex->RecordRows(m_Job.after, kRowsPerRead, rows, connections))
            return -1;
        for (std::size_t i = 0; i < rows.size(); ++i)
            m_Job.rows.emplace_back(connections[i], rows[i]);
        if (!rows.empty())
            m_Job.after = rows.back();
        over = rows.size() < kRowsPerRead;
        return static_cast<long>(rows.size());
    }
    const auto depth =
        m_Filter.NeedsWholeText() ? CSessionIndex::EDepth::Whole : CSessionIndex::EDepth::Light;
    const long read = m_pIndex->VisitRecords(
        m_Job.after, kRecordsPerRead, depth, m_Filter.NeedsExchanges(),
        [this](std::int64_t row, const STraceRecordFields& fields, const SExchangeFacts* facts) {
            m_Job.after = row;
            if (m_Filter.Matches(CTraceRecord(fields), facts))
                m_Job.rows.emplace_back(fields.connectionId, row);
        });
    over = read >= 0 && static_cast<std::size_t>(read) < kRecordsPerRead;
    return read;
}

bool CSavedListingModel::EndSlice()
{
    if (!IsProgressive())
        return true;
    // An entry met again after another one: the file interleaves its entries. The pass
    // starts again, its rows to take the Listing's order at its end.
    for (const SRow& row : m_Job.rows) {
        m_bInterleaved = row.first < m_Job.lastConnection;
        if (m_bInterleaved) {
            m_Job = SJob();
            return false;
        }
        m_Job.lastConnection = row.first;
    }
    std::vector<std::int64_t> rows;
    rows.reserve(m_Job.rows.size());
    for (const SRow& row : m_Job.rows)
        rows.push_back(row.second);
    m_Job.rows.clear();
    AppendRows(rows);
    return true;
}

void CSavedListingModel::EndPass()
{
    std::vector<std::int64_t> rows; // none when shown as they came
    if (!IsProgressive()) {
        if (m_bInterleaved) // the file's order within each entry stays
            std::stable_sort(m_Job.rows.begin(), m_Job.rows.end(),
                             [](const SRow& a, const SRow& b) { return a.first < b.first; });
        rows.reserve(m_Job.rows.size());
        for (const SRow& row : m_Job.rows)
            rows.push_back(row.second);
    }
    m_Job = SJob();
    if (!IsSorted()) {
        if (!IsProgressive())
            ShowRows(std::move(rows));
        return;
    }
    // Sorted: the rows the filter matched wait for the sort, shown in the Listing's order
    // meanwhile.
    if (!m_bSortKnown && !IsProgressive())
        ShowRows(rows);
    if (!m_Filter.IsEmpty())
        m_Matched = std::move(rows);
    m_bMatchedKnown = true;
    if (m_bSortKnown)
        ShowSorted();
}

void CSavedListingModel::ForgetPages(std::size_t fromRow)
{
    if (fromRow == 0)
        m_Cache.Clear();
    else
        m_Cache.ForgetFrom(fromRow);
}

void CSavedListingModel::StartSort()
{
    if (!m_pIndex || m_bFailed)
        return;
    auto stop = std::make_shared<std::atomic<bool>>(false);
    m_pSortStop = stop;
    const auto key = static_cast<CSessionIndex::ERecordKey>(m_nSortColumn);
    const bool descending = m_bDescending;
    const std::string path = m_pIndex->GetPath();
    m_pSortWatcher = new QFutureWatcher<SSorted>(this);
    QFutureWatcher<SSorted>* watcher = m_pSortWatcher;
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        if (watcher == m_pSortWatcher) // not a sort given up since
            OnSorted(watcher->result());
    });
    watcher->setFuture(QtConcurrent::run([path, key, descending, stop] {
        SSorted sorted;
        CSessionIndex index; // a connection of this thread's own
        if (!index.Open(path, sorted.error)
            || !index.SortedRecordRows(key, descending, *stop, sorted.rows))
            sorted.error = index.Error();
        sorted.done = !*stop;
        return sorted;
    }));
}

void CSavedListingModel::StopSort()
{
    if (m_pSortStop)
        m_pSortStop->store(true);
    m_pSortStop.reset();
    if (m_pSortWatcher) {
        m_pSortWatcher->disconnect(this);
        m_pSortWatcher->deleteLater(); // the thread ends soon, on its own
        m_pSortWatcher = nullptr;
    }
}

void CSavedListingModel::FinishLoading()
{
    CSavedTableModel::FinishLoading();
    if (m_pSortWatcher) {
        m_pSortWatcher->waitForFinished();
        SSorted sorted = m_pSortWatcher->result();
        OnSorted(std::move(sorted));
    }
}

void CSavedListingModel::OnSorted(SSorted sorted)
{
    StopSort();
    if (!sorted.done)
        return;
    if (!sorted.error.empty()) {
        // The file failed under the sort: said once; the rows shown stay, in their order.
        if (!m_bFailed) {
            m_bFailed = true;
            QTimer::singleShot(0, this, [message = sorted.error] { ShowMessageBox(message); });
        }
        emit filterApplied();
        return;
    }
    m_Sorted = std::move(sorted.rows);
    m_bSortKnown = true;
    if (m_bMatchedKnown) {
        ShowSorted();
        emit filterApplied();
    }
}

void CSavedListingModel::ShowSorted()
{
    if (m_Filter.IsEmpty()) {
        ShowRows(m_Sorted);
        return;
    }
    std::vector<std::int64_t> matched = std::move(m_Matched);
    std::sort(matched.begin(), matched.end());
    std::vector<std::int64_t> rows;
    rows.reserve(matched.size());
    for (std::int64_t row : m_Sorted)
        if (std::binary_search(matched.begin(), matched.end(), row))
            rows.push_back(row);
    m_Matched.clear();
    ShowRows(std::move(rows));
}

std::shared_ptr<const CTraceRecord> CSavedListingModel::GetRowRecord(int row) const
{
    return RowItem(m_Cache, row,
                   [this](std::int64_t fileRow) -> std::shared_ptr<const CTraceRecord> {
                       STraceRecordFields fields;
                       return m_pIndex->ReadRecord(fileRow, CSessionIndex::EDepth::Light, fields)
                                  ? std::make_shared<const CTraceRecord>(fields)
                                  : nullptr;
                   });
}

std::shared_ptr<const CTraceRecord> CSavedListingModel::GetWholeRecord(int row) const
{
    const std::int64_t fileRow = GetFileRow(row);
    STraceRecordFields fields;
    if (!m_pIndex || fileRow == 0
        || !m_pIndex->ReadRecord(fileRow, CSessionIndex::EDepth::Whole, fields)) {
        ReportError();
        return nullptr;
    }
    return std::make_shared<const CTraceRecord>(fields);
}

int CSavedListingModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : CListingModel::kColumnCount;
}

QVariant CSavedListingModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid()
        || (role != Qt::DisplayRole && role != Qt::DecorationRole && role != Qt::TextAlignmentRole))
        return QVariant();
    const std::shared_ptr<const CTraceRecord> record = GetRowRecord(index.row());
    if (!record)
        return QVariant();
    if (role == Qt::DecorationRole)
        return index.column() == CListingModel::colSummary
                   ? (record->GetDirection() == ETraceDirection::Sent ? m_iconSent : m_iconReceived)
                   : QVariant();
    return CListingModel::CellData(*record, record->GetElapsed(), index.column(), role);
}

QVariant CSavedListingModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char* const kHeadings[CListingModel::kColumnCount] = {
        "Verb / Response", "ID", "Time", "Bytes", "Resp Time"};
    return section >= 0 && section < CListingModel::kColumnCount
               ? QString::fromLatin1(kHeadings[section])
               : QVariant();
}
