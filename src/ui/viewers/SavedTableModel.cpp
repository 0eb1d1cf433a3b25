#include "ui/viewers/SavedTableModel.h"

#include "platform/MessageBox.h"
#include "session/SessionIndex.h"

#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <climits>

namespace {
// A slice gives the event loop back after this long; the first takes at least a screenful.
constexpr qint64 kSliceNs = 15'000'000;
constexpr std::size_t kFirstSliceRows = 2'000;
} // namespace

struct CSavedTableModel::SSorted {
    bool done = false;
    std::string error;
    std::vector<std::int64_t> rows;
};

CSavedTableModel::CSavedTableModel(QObject* parent)
    : QAbstractTableModel(parent)
{
    m_PassTimer.setSingleShot(true);
    m_PassTimer.setInterval(0);
    connect(&m_PassTimer, &QTimer::timeout, this, [this] {
        if (!RunSlice(0))
            m_PassTimer.start();
    });
}

CSavedTableModel::~CSavedTableModel() { StopSort(); }

void CSavedTableModel::ResetIndex(std::shared_ptr<CSessionIndex> index)
{
    StopPass();
    StopSort();
    m_Sorted.clear();
    m_Sorted.shrink_to_fit();
    m_bSortKnown = false;
    beginResetModel();
    m_pIndex = std::move(index);
    m_Visible.clear();
    m_Visible.shrink_to_fit();
    m_bRowsSorted = false;
    ForgetPages(0);
    m_bFailed = false;
    endResetModel();
    if (IsSorted())
        StartSort();
}

void CSavedTableModel::SetSortColumn(int column, bool descending)
{
    const bool same = column == m_nSortColumn && (column < 0 || descending == m_bDescending);
    m_nSortColumn = column;
    m_bDescending = column >= 0 && descending;
    if (same)
        return;
    StopSort();
    m_Sorted.clear();
    m_Sorted.shrink_to_fit();
    m_bSortKnown = false;
    if (IsSorted())
        StartSort();
}

bool CSavedTableModel::SkipPassForSort()
{
    m_Matched.clear();
    m_bMatchedKnown = false;
    // Every row, sorted: the sort has them all. Only a file just shown is read meanwhile.
    if (!m_pIndex || !IsSorted() || !ShowsEveryRow() || (!m_bSortKnown && m_Visible.empty()))
        return false;
    StopPass();
    m_bMatchedKnown = true;
    if (m_bSortKnown)
        ShowSorted();
    return true;
}

void CSavedTableModel::EndSortedPass(std::vector<std::int64_t> rows)
{
    // The rows the pass matched wait for the sort, shown in the file's order meanwhile.
    if (!m_bSortKnown && !IsProgressive())
        ShowRows(rows);
    if (!ShowsEveryRow())
        m_Matched = std::move(rows);
    m_bMatchedKnown = true;
    if (m_bSortKnown)
        ShowSorted();
}

void CSavedTableModel::StartSort()
{
    if (!m_pIndex || m_bFailed)
        return;
    auto stop = std::make_shared<std::atomic<bool>>(false);
    m_pSortStop = stop;
    const std::string path = m_pIndex->GetPath();
    m_pSortWatcher = new QFutureWatcher<SSorted>(this);
    QFutureWatcher<SSorted>* watcher = m_pSortWatcher;
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        if (watcher == m_pSortWatcher) // not a sort given up since
            OnSorted(watcher->result());
    });
    watcher->setFuture(QtConcurrent::run([path, job = MakeSortJob(), stop] {
        SSorted sorted;
        CSessionIndex index; // a connection of this thread's own
        if (!index.Open(path, sorted.error) || !job(index, *stop, sorted.rows))
            sorted.error = index.Error();
        sorted.done = !*stop;
        return sorted;
    }));
}

void CSavedTableModel::StopSort()
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

void CSavedTableModel::OnSorted(SSorted sorted)
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

void CSavedTableModel::ShowSorted()
{
    if (ShowsEveryRow()) {
        ShowRows(m_Sorted);
    } else {
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
    m_bRowsSorted = true;
}

void CSavedTableModel::StartPass(bool progressive)
{
    StopPass();
    if (m_bFailed || !m_pIndex)
        return;
    m_bPassActive = true;
    m_bProgressive = progressive;
    if (progressive && !m_Visible.empty())
        ShowRows({});
    if (!RunSlice(kFirstSliceRows))
        m_PassTimer.start();
}

void CSavedTableModel::StopPass()
{
    m_PassTimer.stop();
    m_bPassActive = false;
}

void CSavedTableModel::FinishLoading()
{
    if (m_bPassActive) {
        m_PassTimer.stop();
        while (!RunSlice(SIZE_MAX)) { } // again only once, after a restart
    }
    if (m_pSortWatcher) {
        m_pSortWatcher->waitForFinished();
        OnSorted(m_pSortWatcher->result());
    }
}

bool CSavedTableModel::RunSlice(std::size_t minimumRows)
{
    QElapsedTimer clock;
    clock.start();
    std::size_t done = 0;
    bool over = false;
    while (!over && (done < minimumRows || clock.nsecsElapsed() < kSliceNs)) {
        const long read = ReadBatch(over);
        if (read < 0) {
            Fail();
            return true;
        }
        done += static_cast<std::size_t>(read);
    }
    if (!EndSlice()) {
        m_bProgressive = false;
        return false;
    }
    if (!over)
        return false;
    m_bPassActive = false;
    EndPass();
    m_Visible.shrink_to_fit();
    emit filterApplied();
    return true;
}

void CSavedTableModel::AppendRows(const std::vector<std::int64_t>& rows)
{
    if (rows.empty())
        return;
    const int first = static_cast<int>(m_Visible.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(rows.size()) - 1);
    ForgetPages(m_Visible.size());
    m_Visible.insert(m_Visible.end(), rows.begin(), rows.end());
    endInsertRows();
}

void CSavedTableModel::ShowRows(std::vector<std::int64_t> rows)
{
    beginResetModel();
    m_Visible = std::move(rows);
    m_bRowsSorted = false;
    ForgetPages(0);
    endResetModel();
}

std::int64_t CSavedTableModel::GetKey(int row) const
{
    return row >= 0 && static_cast<std::size_t>(row) < m_Visible.size()
               ? m_Visible[static_cast<std::size_t>(row)]
               : 0;
}

int CSavedTableModel::FindKey(std::int64_t key, bool rising) const
{
    if (rising) {
        const auto at = std::lower_bound(m_Visible.begin(), m_Visible.end(), key);
        return at != m_Visible.end() && *at == key ? static_cast<int>(at - m_Visible.begin()) : -1;
    }
    const auto found = std::find(m_Visible.begin(), m_Visible.end(), key);
    return found == m_Visible.end() ? -1 : static_cast<int>(found - m_Visible.begin());
}

void CSavedTableModel::Fail()
{
    const bool progressive = m_bProgressive;
    StopPass();
    if (m_bFailed)
        return;
    m_bFailed = true;
    OnFailed();
    // What was read stays shown; the message says why the rest is missing.
    const std::string message = m_pIndex ? m_pIndex->Error() : std::string();
    if (!progressive)
        emit filterApplied();
    QTimer::singleShot(0, this, [message] { ShowMessageBox(message); });
}

void CSavedTableModel::ReportError() const
{
    if (m_pIndex && !m_pIndex->Error().empty())
        ShowMessageBox(m_pIndex->Error());
}

int CSavedTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0
                            : static_cast<int>(std::min<std::size_t>(m_Visible.size(), INT_MAX));
}
