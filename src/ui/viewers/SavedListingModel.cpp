#include "ui/viewers/SavedListingModel.h"

#include "platform/MessageBox.h"
#include "session/SessionIndex.h"
#include "trace/TraceRecord.h"
#include "ui/viewers/ListingIcons.h"
#include "ui/viewers/ListingModel.h"

#include <QElapsedTimer>

#include <algorithm>
#include <climits>

namespace {
constexpr qint64 kSliceNs = 15'000'000;
constexpr std::size_t kFirstSliceRows = 2'000;
constexpr std::size_t kRowsPerRead = 8192;
constexpr std::size_t kRecordsPerRead = 1024;
} // namespace

CSavedListingModel::CSavedListingModel(QObject* parent)
    : QAbstractTableModel(parent)
    , m_iconSent(MakeSentIcon())
    , m_iconReceived(MakeReceivedIcon())
{
    m_JobTimer.setSingleShot(true);
    m_JobTimer.setInterval(0);
    connect(&m_JobTimer, &QTimer::timeout, this, [this] {
        if (!RunSlice(0))
            m_JobTimer.start();
    });
}

CSavedListingModel::~CSavedListingModel() = default;

void CSavedListingModel::SetIndex(std::shared_ptr<CSessionIndex> index)
{
    m_JobTimer.stop();
    m_Job = SJob();
    beginResetModel();
    m_pIndex = std::move(index);
    m_Visible.clear();
    m_Visible.shrink_to_fit();
    m_Cache.Clear();
    m_bFailed = false;
    m_bInterleaved = false;
    endResetModel();
    if (m_pIndex)
        StartPass();
}

std::string CSavedListingModel::SetFilter(const std::string& text)
{
    CListingFilter filter = CListingFilter::Parse(text);
    if (!filter.GetError().empty())
        return filter.GetError();
    m_Filter = std::move(filter);
    if (m_pIndex)
        StartPass();
    return std::string();
}

void CSavedListingModel::StartPass()
{
    m_JobTimer.stop();
    m_Job = SJob();
    if (m_bFailed)
        return;
    m_Job.active = true;
    // Rows shown as they come only while the file's order is the Listing's, as far as known.
    m_Job.progressive = m_Filter.IsEmpty() && !m_bInterleaved;
    if (m_Job.progressive && !m_Visible.empty()) {
        beginResetModel();
        m_Visible.clear();
        m_Cache.Clear();
        endResetModel();
    }
    if (!RunSlice(kFirstSliceRows))
        m_JobTimer.start();
}

void CSavedListingModel::FinishLoading()
{
    if (!m_Job.active)
        return;
    m_JobTimer.stop();
    while (!RunSlice(SIZE_MAX)) { } // again only once, after finding the file's order
}

bool CSavedListingModel::RunSlice(std::size_t minimumRows)
{
    QElapsedTimer clock;
    clock.start();
    std::size_t done = 0;
    bool over = false;
    std::vector<std::int64_t> rows;
    std::vector<int> connections;
    const auto depth =
        m_Filter.NeedsWholeText() ? CSessionIndex::EDepth::Whole : CSessionIndex::EDepth::Light;
    while (!over && (done < minimumRows || clock.nsecsElapsed() < kSliceNs)) {
        long read = 0;
        if (m_Filter.IsEmpty()) {
            rows.clear();
            connections.clear();
            if (!m_pIndex->RecordRows(m_Job.after, kRowsPerRead, rows, connections)) {
                Fail();
                return true;
            }
            read = static_cast<long>(rows.size());
            for (std::size_t i = 0; i < rows.size(); ++i)
                m_Job.rows.emplace_back(connections[i], rows[i]);
            if (!rows.empty())
                m_Job.after = rows.back();
            over = rows.size() < kRowsPerRead;
        } else {
            read = m_pIndex->VisitRecords(m_Job.after, kRecordsPerRead, depth,
                                          m_Filter.NeedsExchanges(),
                                          [this](std::int64_t row, const STraceRecordFields& fields,
                                                 const SExchangeFacts* facts) {
                                              m_Job.after = row;
                                              if (m_Filter.Matches(CTraceRecord(fields), facts))
                                                  m_Job.rows.emplace_back(fields.connectionId, row);
                                          });
            if (read < 0) {
                Fail();
                return true;
            }
            over = static_cast<std::size_t>(read) < kRecordsPerRead;
        }
        done += static_cast<std::size_t>(read);
    }
    if (m_Job.progressive) {
        // An entry met again after another one: the file interleaves its entries. The pass
        // starts again, its rows to take the Listing's order at its end.
        for (const SRow& row : m_Job.rows) {
            m_bInterleaved = row.first < m_Job.lastConnection;
            if (m_bInterleaved)
                break;
            m_Job.lastConnection = row.first;
        }
        if (m_bInterleaved) {
            m_Job.progressive = false;
            m_Job.after = 0;
            m_Job.rows.clear();
            return false;
        }
        if (!m_Job.rows.empty()) {
            const int first = static_cast<int>(m_Visible.size());
            beginInsertRows(QModelIndex(), first, first + static_cast<int>(m_Job.rows.size()) - 1);
            m_Cache.ForgetFrom(m_Visible.size());
            for (const SRow& row : m_Job.rows)
                m_Visible.push_back(row.second);
            m_Job.rows.clear();
            endInsertRows();
        }
    }
    if (!over)
        return false;
    EndPass();
    return true;
}

void CSavedListingModel::EndPass()
{
    if (!m_Job.progressive) {
        if (m_bInterleaved) // the file's order within each entry stays
            std::stable_sort(m_Job.rows.begin(), m_Job.rows.end(),
                             [](const SRow& a, const SRow& b) { return a.first < b.first; });
        beginResetModel();
        m_Visible.clear();
        m_Visible.reserve(m_Job.rows.size());
        for (const SRow& row : m_Job.rows)
            m_Visible.push_back(row.second);
        m_Cache.Clear();
        endResetModel();
    }
    m_Visible.shrink_to_fit();
    m_Job = SJob();
    emit filterApplied();
}

void CSavedListingModel::Fail()
{
    m_JobTimer.stop();
    m_Job = SJob();
    if (m_bFailed)
        return;
    m_bFailed = true;
    const std::string message = m_pIndex ? m_pIndex->Error() : std::string();
    QTimer::singleShot(0, this, [message] { ShowMessageBox(message); });
}

std::int64_t CSavedListingModel::GetFileRow(int row) const
{
    return row >= 0 && static_cast<std::size_t>(row) < m_Visible.size()
               ? m_Visible[static_cast<std::size_t>(row)]
               : 0;
}

int CSavedListingModel::FindFileRow(std::int64_t fileRow) const
{
    const auto at = std::find(m_Visible.begin(), m_Visible.end(), fileRow);
    return at == m_Visible.end() ? -1 : static_cast<int>(at - m_Visible.begin());
}

std::shared_ptr<const CTraceRecord> CSavedListingModel::GetRowRecord(int row) const
{
    if (!m_pIndex || row < 0 || m_bFailed)
        return nullptr;
    return m_Cache.Get(static_cast<std::size_t>(row), m_Visible.size(),
                       [this](std::size_t first, std::size_t count, auto& items) {
                           STraceRecordFields fields;
                           for (std::size_t i = first; i < first + count; ++i) {
                               fields = STraceRecordFields();
                               items.push_back(m_pIndex->ReadRecord(m_Visible[i],
                                                                    CSessionIndex::EDepth::Light,
                                                                    fields)
                                                   ? std::make_shared<const CTraceRecord>(fields)
                                                   : nullptr);
                           }
                       });
}

std::shared_ptr<const CTraceRecord> CSavedListingModel::GetWholeRecord(int row) const
{
    const std::int64_t fileRow = GetFileRow(row);
    STraceRecordFields fields;
    if (!m_pIndex || fileRow == 0
        || !m_pIndex->ReadRecord(fileRow, CSessionIndex::EDepth::Whole, fields)) {
        if (m_pIndex && !m_pIndex->Error().empty())
            ShowMessageBox(m_pIndex->Error());
        return nullptr;
    }
    return std::make_shared<const CTraceRecord>(fields);
}

int CSavedListingModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0
                            : static_cast<int>(std::min<std::size_t>(m_Visible.size(), INT_MAX));
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
