#include "session/SessionSaver.h"

#include "session/SessionBatch.h"
#include "session/SessionWriter.h"
#include "trace/Exchange.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

namespace {
// The most a batch holds before it is written: a large store is copied a slice at a time.
constexpr std::size_t kBatchBytes = 64u << 20;
} // namespace

bool SessionSaver::Save(const CTraceStore& store, const SSessionInfo& info,
                        const std::string& path, std::string& error)
{
    CSessionWriter writer;
    if (!writer.Create(path, error))
        return false;
    SSessionBatch batch;
    batch.run = info.run;
    for (const auto& line : info.debugLines)
        batch.debugLines.push_back({line.captured, line.text});
    std::size_t bytes = 0;
    const auto flushIfFull = [&] {
        if (bytes < kBatchBytes)
            return true;
        const bool written = writer.Write(batch, error);
        batch = {};
        bytes = 0;
        return written;
    };
    for (const auto& entry : store.GetConnections()) {
        for (const auto& record : entry->GetRecords()) {
            batch.records.push_back(record->GetFields());
            bytes += batch.records.back().text.size() + batch.records.back().header.size();
            if (!flushIfFull())
                return false;
        }
    }
    for (const auto& exchange : store.GetExchanges()) {
        batch.exchanges.push_back(*exchange);
        bytes += exchange->m_RequestBody.bytes.size() + exchange->m_ResponseBody.bytes.size();
        if (!flushIfFull())
            return false;
    }
    return writer.Write(batch, error);
}
