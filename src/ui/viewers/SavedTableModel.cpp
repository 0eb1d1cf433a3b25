#include "ui/viewers/SavedTableModel.h"

#include "platform/MessageBox.h"
#include "session/SessionIndex.h"

#include <QElapsedTimer>

#include <algorithm>
#include <climits>

namespace {
// A slice gives the event loop back after this long; the first takes at least a screenful.
constexpr qint64 kSliceNs = 15'000'000;
constexpr std::size_t kFirstSliceRows = 2'000;
} // namespace

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

CSavedTableModel::~CSavedTableModel() = default;

void CSavedTableModel::ResetIndex(std::shared_ptr<CSessionIndex> index)
{
    StopPass();
    beginResetModel();
    m_pIndex = std::move(index);
    m_Visible.clear();
    m_Visible.shrink_to_fit();
    ForgetPages(0);
    m_bFailed = false;
    endResetModel();
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
    if (!m_bPassActive)
        return;
    m_PassTimer.stop();
    while (!RunSlice(SIZE_MAX)) { } // again only once, after a restart
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
