#include "ui/viewers/ListingModel.h"

#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"
#include "ui/viewers/ListingIcons.h"

namespace {

QString FromBytes(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

CListingModel::CListingModel(QObject* parent)
    : QAbstractTableModel(parent)
    , m_iconSent(MakeSentIcon())
    , m_iconReceived(MakeReceivedIcon())
{
}

void CListingModel::Refresh(const CTraceStore& store)
{
    beginResetModel();
    m_Rows.clear();
    std::size_t total = 0;
    for (const auto& connection : store.GetConnections())
        total += connection->GetRecords().size();
    m_Rows.reserve(total);
    for (const auto& connection : store.GetConnections())
        for (const auto& record : connection->GetRecords())
            m_Rows.push_back(SRow{record.get(), record->GetElapsed()});
    endResetModel();
}

void CListingModel::Clear()
{
    beginResetModel();
    m_Rows.clear();
    m_Rows.shrink_to_fit();
    endResetModel();
}

const CTraceRecord* CListingModel::GetRecord(int row) const
{
    if (row < 0 || static_cast<std::size_t>(row) >= m_Rows.size())
        return nullptr;
    return m_Rows[static_cast<std::size_t>(row)].record;
}

int CListingModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    // A view counts rows in an int.
    return static_cast<int>(std::min<std::size_t>(m_Rows.size(), INT_MAX));
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

    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case colSummary:
            return FromBytes(record->GetSummary());
        case colId:
            return FromBytes(record->GetIdText());
        case colTime:
            return FromBytes(record->GetTimeText());
        case colBytes:
            return QString::number(record->GetByteCount());
        case colRespTime:
            return FromBytes(FormatMilliseconds(
                m_Rows[static_cast<std::size_t>(index.row())].elapsedAtRefresh));
        }
        break;
    case Qt::DecorationRole:
        if (index.column() == colSummary)
            return record->GetDirection() == 0 ? m_iconSent : m_iconReceived;
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
