#include "ui/viewers/ListingModel.h"

#include "trace/TraceConnection.h"
#include "trace/Exchange.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"
#include "ui/shell/ByteText.h"
#include "ui/viewers/ListingIcons.h"

#include <QElapsedTimer>

#include <algorithm>
#include <climits>
#include <numeric>

namespace {

// A filter slice gives the event loop back after this long, and always matches at least this
// many rows: a small trace is filtered at once.
constexpr qint64 kSliceNs = 15'000'000;
constexpr std::size_t kFirstSliceRows = 20'000;

} // namespace

CListingModel::CListingModel(QObject* parent)
    : QAbstractTableModel(parent)
    , m_iconSent(MakeSentIcon())
    , m_iconReceived(MakeReceivedIcon())
{
    m_JobTimer.setSingleShot(true);
    m_JobTimer.setInterval(0);
    connect(&m_JobTimer, &QTimer::timeout, this, [this] {
        if (m_Job.active ? !RunFilterSlice(0) : !PrefetchFacts())
            m_JobTimer.start();
    });
}

CListingModel::~CListingModel()
{
    ForgetStore();
}

void CListingModel::ForgetStore()
{
    if (m_pStore)
        m_pStore->UnwatchRecordsFreed(this);
    m_pStore = nullptr;
}

void CListingModel::Refresh(const CTraceStore& store)
{
    ForgetStore();
    m_pStore = &store;
    store.WatchRecordsFreed(this, [this] {
        m_pStore = nullptr; // told once: the watch is over
        Clear();
    });
    std::vector<SRow> rows;
    std::size_t total = 0;
    for (const auto& connection : store.GetConnections())
        total += connection->GetRecords().size();
    rows.reserve(total);
    for (const auto& connection : store.GetConnections())
        for (const auto& record : connection->GetRecords())
            rows.push_back(SRow{record.get(), record->GetElapsed(), -1});

    m_Rows = std::move(rows);
    m_Facts.clear();
    m_FactIndex.clear();
    m_nFactsBuilt = 0;
    SortSnapshot();
    StartFilter();
}

void CListingModel::Clear()
{
    ForgetStore();
    m_JobTimer.stop();
    m_Job = SJob();
    beginResetModel();
    m_Rows.clear();
    m_Rows.shrink_to_fit();
    m_Order.clear();
    m_Order.shrink_to_fit();
    m_Visible.clear();
    m_Visible.shrink_to_fit();
    m_Facts.clear();
    m_FactIndex.clear();
    m_nFactsBuilt = 0;
    endResetModel();
}

std::string CListingModel::SetFilter(const std::string& text)
{
    CListingFilter filter = CListingFilter::Parse(text);
    if (!filter.GetError().empty())
        return filter.GetError();
    m_Filter = std::move(filter);
    StartFilter();
    return std::string();
}

void CListingModel::Sort(int column, SortState state)
{
    m_nSortColumn = state == SortState::None ? -1 : column;
    m_SortState = m_nSortColumn < 0 ? SortState::None : state;
    SortSnapshot();
    StartFilter();
}

void CListingModel::SortSnapshot()
{
    m_Order.clear();
    if (m_SortState == SortState::None)
        return;
    m_Order.resize(m_Rows.size());
    std::iota(m_Order.begin(), m_Order.end(), 0u);

    const bool descending = m_SortState == SortState::Descending;
    if (m_nSortColumn == colSummary) {
        std::vector<std::string> summaries(m_Rows.size());
        for (std::size_t i = 0; i < m_Rows.size(); ++i)
            summaries[i] = m_Rows[i].record->GetSummary();
        // Equal keys keep record order, whichever way the column is sorted.
        std::stable_sort(m_Order.begin(), m_Order.end(), [&](std::uint32_t a, std::uint32_t b) {
            return descending ? summaries[b] < summaries[a] : summaries[a] < summaries[b];
        });
        return;
    }
    // Numbers as numbers, times as times: the keys side by side with the row, read once.
    std::vector<std::pair<std::int64_t, std::uint32_t>> keys(m_Rows.size());
    for (std::size_t i = 0; i < m_Rows.size(); ++i) {
        const SRow& row = m_Rows[i];
        std::int64_t key = 0;
        switch (m_nSortColumn) {
        case colId:
            key = (static_cast<std::int64_t>(row.record->GetConnectionId()) << 32) + row.record->GetSequence();
            break;
        case colTime:
            key = row.record->GetTimeCaptured();
            break;
        case colBytes:
            key = row.record->GetByteCount();
            break;
        case colRespTime:
            key = row.elapsedAtRefresh;
            break;
        }
        keys[i] = {descending ? -key : key, static_cast<std::uint32_t>(i)};
    }
    std::sort(keys.begin(), keys.end()); // the row number breaks ties: record order
    for (std::size_t i = 0; i < keys.size(); ++i)
        m_Order[i] = keys[i].second;
}

void CListingModel::StartFilter()
{
    m_JobTimer.stop();
    m_Job = SJob();
    m_Job.active = true;
    if (m_Filter.IsEmpty()) {
        // Nothing to match: every row, in sort order, at once.
        m_Job.rows.reserve(m_Rows.size());
        if (m_Order.empty())
            m_Job.rows = m_Rows;
        else
            for (std::uint32_t index : m_Order)
                m_Job.rows.push_back(m_Rows[index]);
        m_Job.next = m_Rows.size();
    }
    if (!RunFilterSlice(kFirstSliceRows))
        m_JobTimer.start();
}

void CListingModel::FinishFilter()
{
    if (!m_Job.active)
        return;
    m_JobTimer.stop();
    RunFilterSlice(SIZE_MAX);
}

void CListingModel::BuildFacts(std::size_t from, std::size_t to)
{
    // Copied out of the exchanges: the rows outlive no record, but an exchange may leave the
    // store (Clear Data) between two slices.
    for (std::size_t pos = from; pos < to; ++pos) {
        SRow& row = m_Rows[pos];
        const std::uint64_t id = row.record->GetExchangeId();
        row.exchange = -1;
        if (id == 0)
            continue;
        const auto [known, added] = m_FactIndex.try_emplace(id, -1);
        if (added) {
            if (const CExchange* exchange = m_pStore ? m_pStore->FindExchange(id) : nullptr) {
                known->second = static_cast<std::int32_t>(m_Facts.size());
                m_Facts.push_back(SExchangeFacts::Of(*exchange));
            }
        }
        row.exchange = known->second;
    }
    m_nFactsBuilt = to;
}

bool CListingModel::RunFilterSlice(std::size_t minimumRows)
{
    QElapsedTimer clock;
    clock.start();
    const std::size_t total = m_Rows.size();
    std::size_t done = 0;
    auto timeLeft = [&] { return done < minimumRows || clock.nsecsElapsed() < kSliceNs; };
    constexpr std::size_t kStep = 4096;

    if (m_Filter.NeedsExchanges()) {
        while (m_nFactsBuilt < total && timeLeft()) {
            const std::size_t to = std::min(total, m_nFactsBuilt + kStep);
            BuildFacts(m_nFactsBuilt, to);
            done += kStep;
        }
        if (m_nFactsBuilt < total)
            return false;
    }
    while (m_Job.next < total && timeLeft()) {
        const std::size_t to = std::min(total, m_Job.next + kStep);
        for (std::size_t pos = m_Job.next; pos < to; ++pos) {
            const SRow& row = m_Rows[m_Order.empty() ? pos : m_Order[pos]];
            const SExchangeFacts* facts =
                row.exchange >= 0 ? &m_Facts[static_cast<std::size_t>(row.exchange)] : nullptr;
            if (m_Filter.Matches(*row.record, facts))
                m_Job.rows.push_back(row);
        }
        done += to - m_Job.next;
        m_Job.next = to;
    }
    if (m_Job.next < total)
        return false;

    beginResetModel();
    m_Visible = std::move(m_Job.rows);
    m_Job = SJob();
    endResetModel();
    emit filterApplied();
    // Pairs are found between events from now on, so that the first host:, method: or status:
    // term over a large snapshot need not wait for them.
    if (m_nFactsBuilt < m_Rows.size())
        m_JobTimer.start();
    return true;
}

bool CListingModel::PrefetchFacts()
{
    QElapsedTimer clock;
    clock.start();
    while (m_nFactsBuilt < m_Rows.size() && clock.nsecsElapsed() < kSliceNs)
        BuildFacts(m_nFactsBuilt, std::min(m_Rows.size(), m_nFactsBuilt + 4096));
    return m_nFactsBuilt >= m_Rows.size();
}

const CTraceRecord* CListingModel::GetRecord(int row) const
{
    if (row < 0 || static_cast<std::size_t>(row) >= m_Visible.size())
        return nullptr;
    return m_Visible[static_cast<std::size_t>(row)].record;
}

int CListingModel::FindRecord(const CTraceRecord* record) const
{
    for (std::size_t i = 0; i < m_Visible.size(); ++i) {
        if (m_Visible[i].record == record)
            return static_cast<int>(i);
    }
    return -1;
}

int CListingModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    // A view counts rows in an int.
    return static_cast<int>(std::min<std::size_t>(m_Visible.size(), INT_MAX));
}

int CListingModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant CListingModel::data(const QModelIndex& index, int role) const
{
    const CTraceRecord* record = index.isValid() ? GetRecord(index.row()) : nullptr;
    if (!record)
        return QVariant();

    if (role == Qt::DecorationRole && index.column() == colSummary)
        return record->GetDirection() == ETraceDirection::Sent ? m_iconSent : m_iconReceived;
    return CellData(*record, m_Visible[static_cast<std::size_t>(index.row())].elapsedAtRefresh,
                    index.column(), role);
}

QVariant CListingModel::CellData(const CTraceRecord& record, std::int32_t elapsed, int column,
                                 int role)
{
    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case colSummary:
            return FromBytes(record.GetSummary());
        case colId:
            return FromBytes(record.GetIdText());
        case colTime:
            return FromBytes(record.GetTimeText());
        case colBytes:
            return QString::number(record.GetByteCount());
        case colRespTime:
            return FromBytes(FormatMilliseconds(elapsed));
        }
        break;
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    }
    return QVariant();
}

QVariant CListingModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case colSummary:
        return QStringLiteral("Verb / Response");
    case colId:
        return QStringLiteral("ID");
    case colTime:
        return QStringLiteral("Time");
    case colBytes:
        return QStringLiteral("Bytes");
    case colRespTime:
        return QStringLiteral("Resp Time");
    }
    return QVariant();
}

std::string CListingModel::GetWidestText(int column) const
{
    // Numbers only: no text is made per row.
    int connection = 0, sequence = 0;
    std::int32_t bytes = 0, slowest = 0, lowest = 0;
    for (const SRow& row : m_Rows) {
        connection = std::max(connection, row.record->GetConnectionId());
        sequence = std::max(sequence, row.record->GetSequence());
        bytes = std::max(bytes, row.record->GetByteCount());
        slowest = std::max(slowest, row.elapsedAtRefresh);
        lowest = std::min(lowest, row.elapsedAtRefresh);
    }
    switch (column) {
    case colId:
        return std::to_string(connection) + "-" + std::to_string(sequence);
    case colTime:
        return "00:00:00";
    case colBytes:
        return std::to_string(bytes);
    case colRespTime: {
        const std::string high = FormatMilliseconds(slowest);
        const std::string low = FormatMilliseconds(lowest);
        return low.size() > high.size() ? low : high;
    }
    }
    return std::string();
}
