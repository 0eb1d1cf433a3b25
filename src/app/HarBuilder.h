#pragma once
#include <QByteArray>
#include <QJsonArray>
#include <QString>

class CTraceConnection;

// HAR 1.2 documents from the trace, for the window's export and the headless --har file:
// one entry per request/response pair of a connection, with the header fields, sizes and
// timings that the records hold, and bodies as text where the trace keeps them as text.
class CHarBuilder {
public:
    void AddConnection(const CTraceConnection& connection);
    void AddEntries(const QJsonArray& entries);
    const QJsonArray& GetEntries() const { return m_Entries; }

    QByteArray ToJson() const;
    // Replaces the file as a whole; false (the old file left as it was) when it cannot.
    bool WriteFile(const QString& path) const;

private:
    QJsonArray m_Entries;
};
