#pragma once
#include <QAbstractTableModel>
#include <QIcon>

#include <cstdint>
#include <vector>

class CTraceRecord;
class CTraceStore;

// The Listing's table: a snapshot of the store's records taken at Refresh, one thin row per
// record. Cell texts are made when the view asks for them, except "Resp Time", which keeps the
// value the record had at Refresh. The rows point into the store: Clear() must run before the
// store deletes records.
class CListingModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { colSummary, colId, colTime, colBytes, colRespTime, kColumnCount };

    explicit CListingModel(QObject* parent = nullptr);

    // Rebuilds the rows from every record of every connection, in store order.
    void Refresh(const CTraceStore& store);
    void Clear();

    const CTraceRecord* GetRecord(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    struct SRow {
        const CTraceRecord* record;
        std::int32_t elapsedAtRefresh; // what "Resp Time" shows until the next Refresh
    };
    std::vector<SRow> m_Rows;
    QIcon m_iconSent;
    QIcon m_iconReceived;
};
