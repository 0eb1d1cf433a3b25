#pragma once
#include "session/RecordPack.h"
#include "session/SessionBatch.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

class CExchange;
class CSessionWriter;
class CTraceRecord;

// Records a capture into a session file while it runs. The event loop hands over copies of
// records, finished exchanges and debug lines; a thread of its own writes them in batches, a
// transaction at least every kCommitMs, so the loop never waits on the disk. A failed write
// (a full disk) ends the recording with one message; relaying is not concerned.
class CSessionRecorder {
public:
    // Told once, on the writer thread, why recording stopped or fell behind.
    using Report = std::function<void(const std::string&)>;
    // What waits for the writer is bounded: beyond it, what comes is not recorded (and told).
    static constexpr std::size_t kMaxQueuedBytes = 256u << 20;
    static constexpr int kCommitMs = 200;
    // Sooner once this much waits (large bodies): each one held for a whole pause would add
    // its size to the process while the next ones come.
    static constexpr std::size_t kWakeBytes = 4u << 20;

    CSessionRecorder();
    ~CSessionRecorder(); // Stop()
    CSessionRecorder(const CSessionRecorder&) = delete;
    CSessionRecorder& operator=(const CSessionRecorder&) = delete;

    // Creates the file (a new one, locked for this run) with the run's description and starts
    // writing; false with the reason (another Kestrune records into it, the file exists...).
    bool Start(const std::string& path, std::vector<std::pair<std::string, std::string>> run,
               Report report, std::string& error);
    // On the event loop: copies of what the trace made.
    void AddRecord(const CTraceRecord& record);
    // takable: the same exchange when its bodies' bytes may be moved out rather than copied
    // (see CTraceStore::TakableExchange); null: they are copied.
    void AddExchange(const CExchange& exchange, CExchange* takable = nullptr);
    void AddDebugLine(const std::string& text);
    // Writes what waits and ends the thread; nothing is recorded after.
    void Stop();
    // A smaller bound for what waits (a part of the memory budget); before Start.
    void SetMaxQueuedBytes(std::size_t bytes) { m_nMaxQueuedBytes = bytes; }
    // False once a write failed (or before Start).
    bool IsRecording() const { return m_bRunning && !m_bFailed; }

private:
    void RunWriter();
    // One batch into the file; a failure ends the recording (told once).
    void Write(const SSessionBatch& batch, std::uint64_t dropped);
    // Room kept between batches (about a second of a busy relay's records), at most.
    static constexpr std::size_t kKeptRecordRoom = 16384;
    static constexpr std::size_t kKeptExchangeRoom = 8192;
    static void EmptyKeepingRoom(SSessionBatch& batch);
    // Written exchanges kept for the loop to copy the next ones over.
    void GiveBackExchanges(std::vector<CExchange>& written);
    std::vector<CExchange> m_SpareExchanges; // under m_Mutex: the loop takes from here
    std::vector<CExchange> m_WrittenSpares;  // the writer's, until the loop's are used up
    // Adds under the lock unless the queue is full; `bytes` is what the addition holds.
    template <typename Add> void Enqueue(std::size_t bytes, Add&& add);

    std::unique_ptr<CSessionWriter> m_pWriter;
    Report m_Report;
    std::thread m_Thread;
    std::mutex m_Mutex;
    std::condition_variable m_Wake;
    SSessionBatch m_Queued;              // under m_Mutex
    std::size_t m_nQueuedBytes = 0;      // under m_Mutex
    std::size_t m_nMaxQueuedBytes = kMaxQueuedBytes;
    std::uint64_t m_nDropped = 0;        // under m_Mutex: not recorded since the last report
    bool m_bStop = false;                // under m_Mutex
    std::atomic<bool> m_bFailed{false};
    bool m_bRunning = false;
    // Bumped each time the writer takes the queue (under m_Mutex): what was packed before is
    // out of the loop's reach.
    std::uint64_t m_nTaken = 0;
    // Records are packed as they come, on the loop (under m_Mutex, into the queue): the row of
    // the latest one, and per connection its latest request, whose elapsed time grows with
    // each chunk of the answer: written over in its pack while the pack waits, else sent as a
    // later time of its row (one per batch).
    std::int64_t m_nLastRow = 0;
    struct SLastRequest {
        int sequence = 0;
        std::uint32_t startTick = 0;
        std::int64_t row = 0;
        std::uint64_t taken = 0; // m_nTaken when it was packed
        std::size_t pack = 0;
        std::size_t elapsedAt = 0;
        std::uint64_t laterTaken = ~std::uint64_t(0); // m_nTaken of its entry in rowElapsed
        std::size_t later = 0;
    };
    std::unordered_map<int, SLastRequest> m_LastRequests;
    // Adds a record to the queue's latest pack (a new one when it is full).
    void Pack(SSessionBatch& batch, const RecordPack::SRecord& record);
};
