#include "ui/viewers/SavedListingModel.h"

#include "session/SessionIndex.h"
#include "trace/TraceRecord.h"
#include "ui/viewers/ListingIcons.h"
#include "ui/viewers/ListingModel.h"

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

CSavedListingModel::~CSavedListingModel() = default;

void CSavedListingModel::SetIndex(std::shared_ptr<CSessionIndex> index)
{
    m_Job = SJob();
    m_bInterleaved = false;
    ResetIndex(std::move(index));
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
    SetSortColumn(column >= 0 && column < CListingModel::kColumnCount ? column : -1, descending);
    StartPass();
}

void CSavedListingModel::StartPass()
{
    m_Job = SJob();
    if (SkipPassForSort() || !m_pIndex)
        return;
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
    EndSortedPass(std::move(rows));
}

void CSavedListingModel::ForgetPages(std::size_t fromRow)
{
    if (fromRow == 0)
        m_Cache.Clear();
    else
        m_Cache.ForgetFrom(fromRow);
}

CSavedTableModel::SortJob CSavedListingModel::MakeSortJob() const
{
    const auto key = static_cast<CSessionIndex::ERecordKey>(m_nSortColumn);
    const bool descending = m_bDescending;
    return [key, descending](CSessionIndex& index, const std::atomic<bool>& stop,
                             std::vector<std::int64_t>& rows) {
        return index.SortedRecordRows(key, descending, stop, rows);
    };
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
