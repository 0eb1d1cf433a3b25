#include "session/SessionRecorder.h"

#include "session/ProxyCredentials.h"
#include "session/SessionWriter.h"
#include "trace/Exchange.h"
#include "trace/TraceRecord.h"

#include <malloc.h>

#include <chrono>
#include <ctime>
#include <utility>

namespace {
// Connections whose latest request is remembered; beyond this the memory is cleared (an old
// connection still answering keeps the elapsed time its request had then).
constexpr std::size_t kMaxRememberedConnections = 65536;
constexpr int kLargeBlock = 1 << 20;
constexpr std::size_t kPackRoom = 32u << 10;
// Written exchanges go back to the loop for the next copies (the buffers of their texts reused
// rather than freed here and made again there): this many at most, texts of this room at most.
constexpr std::size_t kMaxSpareExchanges = 512;
constexpr std::size_t kSpareTextRoom = 2048;

std::size_t BytesOf(const CExchange& e)
{
    return sizeof(CExchange) + e.m_strRequestHead.size() + e.m_strForwardedHead.size() +
           e.m_strResponseHead.size() + e.m_RequestBody.bytes.size() +
           e.m_ResponseBody.bytes.size() + e.m_strTarget.size();
}

// A copy of the exchange into `copy` that takes its bodies' bytes (up to 16 MiB each) instead
// of copying them; the exchange keeps their totals.
void TakeBodies(CExchange& exchange, CExchange& copy)
{
    SExchangeBody request = std::exchange(exchange.m_RequestBody, {});
    SExchangeBody response = std::exchange(exchange.m_ResponseBody, {});
    exchange.m_RequestBody.total = request.total;
    exchange.m_ResponseBody.total = response.total;
    copy = exchange;
    copy.m_RequestBody = std::move(request);
    copy.m_ResponseBody = std::move(response);
}

// A written exchange made ready to be copied over: its bodies go (a taken body would replace
// them, freed on the loop), and texts grown past the usual room. Swapped with an empty string:
// assigning one would keep the buffer.
void EmptySpare(CExchange& e)
{
    for (std::string* text : {&e.m_RequestBody.bytes, &e.m_ResponseBody.bytes}) {
        if (text->capacity() > 0)
            std::string().swap(*text);
    }
    for (std::string* text : {&e.m_strHost, &e.m_strMethod, &e.m_strTarget, &e.m_strVersion,
                              &e.m_strRequestHead, &e.m_strForwardedHead, &e.m_strReason,
                              &e.m_strResponseHead, &e.m_strEndReason}) {
        if (text->capacity() > kSpareTextRoom)
            std::string().swap(*text);
    }
}
} // namespace

CSessionRecorder::CSessionRecorder() = default;

CSessionRecorder::~CSessionRecorder() { Stop(); }

bool CSessionRecorder::Start(const std::string& path,
                             std::vector<std::pair<std::string, std::string>> run, Report report,
                             std::string& error)
{
    auto writer = std::make_unique<CSessionWriter>();
    SSessionBatch first;
    first.run = std::move(run);
    if (!writer->Create(path, error) || !writer->Write(first, error))
        return false;
    m_pWriter = std::move(writer);
    m_Report = std::move(report);
    // Kept bodies of up to 16 MiB go from the loop to the writer and SQLite makes rows as large:
    // blocks this large are mapped and given back when freed, rather than left to glibc's
    // threshold, which rises past them and keeps the freed ones in the arenas (tens of MiB).
    mallopt(M_MMAP_THRESHOLD, kLargeBlock);
    m_bRunning = true;
    m_Thread = std::thread([this] { RunWriter(); });
    return true;
}

template <typename Add> void CSessionRecorder::Enqueue(std::size_t bytes, Add&& add)
{
    std::lock_guard lock(m_Mutex);
    if (m_nQueuedBytes + bytes > m_nMaxQueuedBytes) {
        ++m_nDropped;
        return;
    }
    const bool wake = m_nQueuedBytes < kWakeBytes && m_nQueuedBytes + bytes >= kWakeBytes;
    m_nQueuedBytes += bytes;
    add(m_Queued);
    if (wake)
        m_Wake.notify_one();
}

void CSessionRecorder::AddRecord(const CTraceRecord& record)
{
    if (!IsRecording())
        return;
    // The record's own bytes are packed as they are: no copy of its texts on the way.
    RecordPack::SRecord r;
    r.connection = record.GetConnectionId();
    r.sequence = record.GetSequence();
    r.direction = static_cast<std::uint8_t>(record.GetDirection());
    r.part = static_cast<std::uint8_t>(record.GetPart());
    r.binary = record.IsBinary();
    r.ssl = record.IsSSL();
    r.headerIncomplete = record.IsHeaderIncomplete();
    r.bytes = record.GetByteCount();
    r.startTick = record.GetStartTick();
    r.endTick = record.GetEndTick();
    r.elapsed = record.GetElapsed();
    r.captured = static_cast<std::int64_t>(record.GetTimeCaptured());
    r.exchange = static_cast<std::int64_t>(record.GetExchangeId());
    r.header = record.GetHeader();
    r.text = record.GetText();
    r.contentType = record.GetContentType();
    r.charset = record.GetCharset();
    r.origin = record.GetOrigin();
    // What went to a server may carry the upstream's credentials: never into the file.
    std::string header, text;
    if (record.GetDirection() == ETraceDirection::Sent && record.GetPart() == ETracePart::Header) {
        if (ProxyCredentials::Hide(r.header, header))
            r.header = header;
        if (ProxyCredentials::Hide(r.text, text))
            r.text = text;
    }
    const auto serial = static_cast<std::int64_t>(record.GetSerial());
    Enqueue(sizeof(r) + r.header.size() + r.text.size(), [&](SSessionBatch& batch) {
        r.row = serial > m_nLastRow ? serial : m_nLastRow + 1;
        m_nLastRow = r.row;
        Pack(batch, r);
    });
}

void CSessionRecorder::Pack(SSessionBatch& batch, const RecordPack::SRecord& r)
{
    if (batch.packs.empty() || batch.packs.back().count >= RecordPack::kMaxRecords
        || batch.packs.back().bytes.size() >= RecordPack::kMaxBytes) {
        batch.packs.push_back({r.row, r.row, 0, 0, {}});
        // Room for a pack of small records at once (a few moves as large ones come): no more
        // than the queue counts for 256 records, so that its bound holds.
        batch.packs.back().bytes.reserve(kPackRoom);
    }
    SSessionBatch::SPack& pack = batch.packs.back();
    const std::size_t elapsedAt = RecordPack::Append(
        r, pack.count ? pack.lastRow : r.row - 1, pack.count ? pack.lastCaptured : 0, pack.bytes);
    pack.lastRow = r.row;
    pack.lastCaptured = r.captured;
    ++pack.count;
    if (r.direction == static_cast<std::uint8_t>(ETraceDirection::Sent)) {
        if (m_LastRequests.size() >= kMaxRememberedConnections)
            m_LastRequests.clear();
        m_LastRequests[r.connection] = {r.sequence, r.startTick, r.row,
                                        m_nTaken, batch.packs.size() - 1, elapsedAt};
        return;
    }
    // The request's time runs to the end of this chunk of its answer.
    const auto found = m_LastRequests.find(r.connection);
    if (found == m_LastRequests.end())
        return;
    SLastRequest& request = found->second;
    const auto elapsed = static_cast<std::int32_t>(r.endTick - request.startTick);
    if (request.taken == m_nTaken) {
        RecordPack::SetElapsed(batch.packs[request.pack].bytes, request.elapsedAt, elapsed);
    } else if (request.laterTaken == m_nTaken) {
        batch.rowElapsed[request.later].elapsed = elapsed;
    } else {
        request.laterTaken = m_nTaken;
        request.later = batch.rowElapsed.size();
        batch.rowElapsed.push_back({request.row, elapsed});
    }
}

void CSessionRecorder::AddExchange(const CExchange& exchange, CExchange* takable)
{
    if (!IsRecording())
        return;
    // The copy is made outside the lock (the writer may be taking the queue meanwhile), over a
    // written one when the writer gave some back.
    CExchange copy;
    {
        std::lock_guard lock(m_Mutex);
        if (!m_SpareExchanges.empty()) {
            copy = std::move(m_SpareExchanges.back());
            m_SpareExchanges.pop_back();
        }
    }
    if (takable == &exchange)
        TakeBodies(*takable, copy);
    else
        copy = exchange;
    Enqueue(BytesOf(copy), [&](SSessionBatch& batch) { batch.exchanges.push_back(std::move(copy)); });
}

void CSessionRecorder::AddDebugLine(const std::string& text)
{
    if (!IsRecording())
        return;
    SSessionBatch::SDebugLine line{std::time(nullptr), text};
    Enqueue(sizeof(line) + text.size(),
            [&](SSessionBatch& batch) { batch.debugLines.push_back(std::move(line)); });
}

void CSessionRecorder::Stop()
{
    if (!m_Thread.joinable())
        return;
    {
        std::lock_guard lock(m_Mutex);
        m_bStop = true;
    }
    m_Wake.notify_one();
    m_Thread.join();
    m_bRunning = false;
    m_pWriter.reset();
}

void CSessionRecorder::RunWriter()
{
    bool stop = false;
    // Handed back to the loop emptied with its room kept, so that the loop's adds rarely grow a
    // vector; what the batch held is freed here, off the loop.
    SSessionBatch batch;
    while (!stop) {
        std::uint64_t dropped = 0;
        {
            std::unique_lock lock(m_Mutex);
            // Batches: whatever came during the pause goes in one transaction.
            m_Wake.wait_for(lock, std::chrono::milliseconds(kCommitMs),
                            [this] { return m_bStop || m_nQueuedBytes >= kWakeBytes; });
            stop = m_bStop;
            std::swap(batch, m_Queued);
            ++m_nTaken;
            m_nQueuedBytes = 0;
            std::swap(dropped, m_nDropped);
        }
        if (!m_bFailed) // else drained and forgotten until told to stop
            Write(batch, dropped);
        GiveBackExchanges(batch.exchanges);
        EmptyKeepingRoom(batch);
    }
}

void CSessionRecorder::GiveBackExchanges(std::vector<CExchange>& written)
{
    // Emptied in place, off the lock, and handed over as a whole vector (moving each exchange
    // costs about as much as its copy); the loop takes them when it used up those it had. While
    // it still has some, these are let go.
    if (m_WrittenSpares.empty()) {
        if (written.size() > kMaxSpareExchanges)
            written.erase(written.begin() + kMaxSpareExchanges, written.end());
        for (CExchange& e : written)
            EmptySpare(e);
        std::swap(m_WrittenSpares, written);
    }
    std::lock_guard lock(m_Mutex);
    if (m_SpareExchanges.empty())
        std::swap(m_SpareExchanges, m_WrittenSpares);
}

void CSessionRecorder::Write(const SSessionBatch& batch, std::uint64_t dropped)
{
    std::string error;
    if (!m_pWriter->Write(batch, error)) {
        m_bFailed = true;
        if (m_Report)
            m_Report("session recording stopped: " + error + "; relaying goes on");
    } else if (dropped && m_Report) {
        m_Report("the session file falls behind the traffic: " + std::to_string(dropped)
                 + " records, exchanges or debug lines were not recorded");
    }
}

void CSessionRecorder::EmptyKeepingRoom(SSessionBatch& batch)
{
    // A burst's room is let go rather than held for the rest of the run.
    if (batch.records.capacity() > kKeptRecordRoom
        || batch.exchanges.capacity() > kKeptExchangeRoom) {
        batch = {};
        return;
    }
    batch.run.clear();
    batch.exchanges.clear();
    batch.records.clear();
    batch.elapsed.clear();
    batch.debugLines.clear();
    batch.packs.clear();
    batch.rowElapsed.clear();
}
