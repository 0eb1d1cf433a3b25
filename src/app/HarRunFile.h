#pragma once
#include <QJsonArray>
#include <QString>

#include <memory>
#include <vector>

class CTraceConnection;
class CTraceStore;

// The headless run's HAR file (--har): every pair of the run, also those whose connections
// were purged since (their entries are kept here before the store lets them go).
class CHarRunFile {
public:
    explicit CHarRunFile(QString path);

    // Keeps the entries of the closed connections: call before a purge.
    void KeepClosed(const CTraceStore& store);
    // Keeps these entries (taken out of the store).
    void Keep(const std::vector<std::unique_ptr<CTraceConnection>>& entries);
    // Writes the kept entries and those of the store's connections; false when it cannot.
    bool Write(const CTraceStore& store) const;

private:
    QString m_strPath;
    QJsonArray m_Kept;
};
