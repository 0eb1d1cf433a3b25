#include "app/SessionSaveJob.h"

#include "app/SessionSnapshot.h"
#include "app/TraceApp.h"
#include "session/SessionWriter.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

#include <QElapsedTimer>

#include <algorithm>
#include <memory>

namespace {
// A slice copies at most this much, or for this long, before the loop goes on.
constexpr std::size_t kSliceBytes = 4u << 20;
constexpr qint64 kSliceNs = 10'000'000;
constexpr std::size_t kMaxQueued = 2;
} // namespace

bool CSessionSaveJob::SSlice::IsFull() const
{
    return bytes >= kSliceBytes || clock.nsecsElapsed() >= kSliceNs;
}

CSessionSaveJob::CSessionSaveJob(const CTraceApp& app, std::string path, QObject* parent)
    : QObject(parent)
    , m_App(app)
    , m_strPath(std::move(path))
{
    m_SliceTimer.setSingleShot(true);
    connect(&m_SliceTimer, &QTimer::timeout, this, [this] { CopySlice(); });
}

CSessionSaveJob::~CSessionSaveJob()
{
    StopWriter();
    if (m_bRunning)
        SessionSnapshot::Discard(m_strTemp);
}

bool CSessionSaveJob::Start(std::string& error)
{
    SSessionInfo info;
    if (m_bRunning || !SessionSnapshot::Begin(m_App, m_strPath, m_strTemp, info, error))
        return false;
    const CTraceStore& store = *m_App.m_pTraceStore;
    for (const auto& entry : store.GetConnections())
        m_nTotal += entry->GetRecords().size();
    m_nTotal += store.GetExchanges().size();
    m_nLastEntry = store.GetConnections().empty() ? 0 : store.GetConnections().back()->GetId();
    m_nLastExchange = store.GetExchanges().empty() ? 0 : store.GetExchanges().back()->m_nId;
    SSessionBatch first;
    first.run = std::move(info.run);
    for (auto& line : info.debugLines)
        first.debugLines.push_back({line.captured, std::move(line.text)});
    m_Queue.push_back(std::move(first));
    m_bRunning = true;
    m_Writer = std::thread([this, temp = m_strTemp] { WriteAll(temp); });
    m_SliceTimer.start(0);
    return true;
}

void CSessionSaveJob::Cancel()
{
    if (!m_bRunning)
        return;
    m_SliceTimer.stop();
    StopWriter();
    SessionSnapshot::Discard(m_strTemp);
    m_bRunning = false;
    emit finished(false, QString());
}

void CSessionSaveJob::CopySlice()
{
    {
        std::lock_guard lock(m_Mutex);
        if (m_bWriteFailed)
            return; // the writer says why
        if (m_Queue.size() >= kMaxQueued) {
            m_SliceTimer.start(5); // the disk is behind: the loop goes on meanwhile
            return;
        }
    }
    const CTraceStore* store = m_App.m_pTraceStore.get();
    SSessionBatch batch;
    SSlice slice;
    slice.clock.start();
    const bool done =
        !store || (CopyRecords(*store, batch, slice) && CopyExchanges(*store, batch, slice));
    Push(std::move(batch), done);
    if (!done)
        m_SliceTimer.start(0);
}

bool CSessionSaveJob::CopyRecords(const CTraceStore& store, SSessionBatch& batch, SSlice& slice)
{
    const auto& entries = store.GetConnections();
    auto entry = std::lower_bound(entries.begin(), entries.end(), m_nEntry,
                                  [](const auto& e, int id) { return e->GetId() < id; });
    for (; entry != entries.end() && (*entry)->GetId() <= m_nLastEntry; ++entry) {
        if ((*entry)->GetId() != m_nEntry) {
            m_nEntry = (*entry)->GetId();
            m_nRecord = 0;
        }
        const auto& records = (*entry)->GetRecords();
        for (; m_nRecord < records.size(); ++m_nRecord) {
            if (slice.IsFull())
                return false;
            STraceRecordFields fields = records[m_nRecord]->GetFields();
            slice.bytes += fields.text.size() + fields.header.size() + 128;
            batch.records.push_back(std::move(fields));
            ++m_nCopied;
        }
    }
    m_nEntry = m_nLastEntry + 1;
    return true;
}

bool CSessionSaveJob::CopyExchanges(const CTraceStore& store, SSessionBatch& batch, SSlice& slice)
{
    const auto& exchanges = store.GetExchanges();
    auto exchange = std::upper_bound(exchanges.begin(), exchanges.end(), m_nExchange,
                                     [](std::uint64_t id, const auto& e) { return id < e->m_nId; });
    for (; exchange != exchanges.end() && (*exchange)->m_nId <= m_nLastExchange; ++exchange) {
        if (slice.IsFull())
            return false;
        const CExchange& e = **exchange;
        const auto readBack = store.BodiesReadBack(e); // bodies the memory budget took out
        batch.exchanges.push_back(readBack ? *readBack : e);
        slice.bytes += e.m_RequestBody.bytes.size() + e.m_ResponseBody.bytes.size() + 512;
        m_nExchange = e.m_nId;
        ++m_nCopied;
    }
    m_nExchange = m_nLastExchange;
    return true;
}

void CSessionSaveJob::Push(SSessionBatch batch, bool last)
{
    {
        std::lock_guard lock(m_Mutex);
        if (!batch.Empty())
            m_Queue.push_back(std::move(batch));
        m_bLastQueued = last;
    }
    m_Wake.notify_one();
}

void CSessionSaveJob::WriteAll(std::string temp)
{
    std::string error;
    auto writer = std::make_unique<CSessionWriter>();
    bool written = writer->Create(temp, error);
    for (;;) {
        SSessionBatch batch;
        {
            std::unique_lock lock(m_Mutex);
            m_Wake.wait(lock, [this] { return m_bStop || !m_Queue.empty() || m_bLastQueued; });
            if (m_bStop)
                return;
            if (m_Queue.empty())
                break; // the last batch is written
            batch = std::move(m_Queue.front());
            m_Queue.pop_front();
            if (!written)
                continue;
        }
        if (!writer->Write(batch, error)) {
            written = false;
            std::lock_guard lock(m_Mutex);
            m_bWriteFailed = true;
            m_Queue.clear();
            m_bLastQueued = true; // nothing more is wanted
        }
    }
    writer.reset(); // closed before the file moves
    QMetaObject::invokeMethod(
        this, [this, written, error] { OnWritten(written, error); }, Qt::QueuedConnection);
}

void CSessionSaveJob::OnWritten(bool written, const std::string& error)
{
    if (!m_bRunning)
        return;
    if (m_Writer.joinable())
        m_Writer.join();
    m_bRunning = false;
    std::string problem = error;
    // The user knows the file by the name chosen, not by the one written beside it.
    for (std::size_t at; (at = problem.find(m_strTemp)) != std::string::npos;)
        problem.replace(at, m_strTemp.size(), m_strPath);
    if (!written)
        SessionSnapshot::Discard(m_strTemp);
    const bool saved = written && SessionSnapshot::Finish(m_strTemp, m_strPath, problem);
    emit finished(saved, saved ? QString() : QString::fromStdString(problem));
}

void CSessionSaveJob::StopWriter()
{
    {
        std::lock_guard lock(m_Mutex);
        m_bStop = true;
    }
    m_Wake.notify_one();
    if (m_Writer.joinable())
        m_Writer.join();
}
