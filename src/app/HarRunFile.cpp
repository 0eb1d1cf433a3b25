#include "app/HarRunFile.h"

#include "app/HarBuilder.h"
#include "trace/TraceConnection.h"
#include "trace/TraceStore.h"

CHarRunFile::CHarRunFile(QString path)
    : m_strPath(std::move(path))
{
}

void CHarRunFile::KeepClosed(const CTraceStore& store)
{
    CHarBuilder closed;
    for (const auto& connection : store.GetConnections()) {
        if (!connection->IsOpen())
            closed.AddConnection(*connection);
    }
    for (const QJsonValue& entry : closed.GetEntries())
        m_Kept.append(entry);
}

void CHarRunFile::Keep(const std::vector<std::unique_ptr<CTraceConnection>>& entries)
{
    CHarBuilder kept;
    for (const auto& connection : entries)
        kept.AddConnection(*connection);
    for (const QJsonValue& entry : kept.GetEntries())
        m_Kept.append(entry);
}

bool CHarRunFile::Write(const CTraceStore& store) const
{
    CHarBuilder har;
    har.AddEntries(m_Kept);
    for (const auto& connection : store.GetConnections())
        har.AddConnection(*connection);
    return har.WriteFile(m_strPath);
}
