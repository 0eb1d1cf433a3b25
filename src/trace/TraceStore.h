#pragma once
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "trace/TraceState.h"
#include "trace/TraceVocabulary.h"

class CDecodedTextBudget;
class CExchange;
class CMemoryBudget;
class CTraceBacking;
class CTraceConnection;
class CTraceHostLink;
class CTraceRecord;

// The most pending text a viewer feed holds after an append.
inline constexpr std::int64_t FEED_LIMIT = 128000;

// The trace of the run: one entry per server-side connection, and three feeds of pending text
// for the Request Viewer, the Response Viewer and the Debug page. Everything runs on the one
// thread, so nothing here is locked.
class CTraceStore {
public:
    // The switches and counters are the owner's (the application object's), read at the moment
    // they are needed; without them the store keeps a set of its own.
    explicit CTraceStore(CTraceState& state);
    CTraceStore();
    virtual ~CTraceStore();

    CTraceState& State() { return m_State; }
    const CTraceState& State() const { return m_State; }
    // Every chunk recorded counts in the byte totals (direction 0: sent), shown or not.
    void CountBytes(ETraceDirection direction, std::size_t length);

    CTraceStore(const CTraceStore&) = delete;
    CTraceStore& operator=(const CTraceStore&) = delete;

    // A new entry numbered from m_nLastEntryId.
    CTraceConnection* AddConnection(CTraceHostLink* host, bool ssl);

    // An entry of a capture made earlier (a reopened session): closed, numbered as it was.
    CTraceConnection* AdoptConnection(int id, bool ssl);

    using Connections = std::vector<std::unique_ptr<CTraceConnection>>;
    const Connections& GetConnections() const { return m_Connections; }

    // Exchanges: one per request, made by the relay at the request head (numbered from 1 in
    // order), completed by it, and ended with FinishExchange. The relay holds its own reference
    // while the exchange is pending, so the store may let go of it first.
    std::shared_ptr<CExchange> AddExchange();
    // The same for an exchange the relay made (fresh, or reused and emptied): numbered and kept.
    std::shared_ptr<CExchange> AddExchange(std::shared_ptr<CExchange> exchange);
    using Exchanges = std::deque<std::shared_ptr<CExchange>>;
    const Exchanges& GetExchanges() const { return m_Exchanges; }
    // An exchange of a capture made earlier, numbered as it was; numbers must rise. False (and
    // nothing kept) for a number not above the last one.
    bool AdoptExchange(std::shared_ptr<CExchange> exchange);
    // The exchange of that number while the store holds it; null otherwise.
    const CExchange* FindExchange(std::uint64_t id) const;
    // The relay has ended the exchange (its m_nEnd is set): the observer is told, and a store
    // that keeps no finished exchanges lets go of it.
    void FinishExchange(const CExchange& exchange);
    // The same, from the relay, which changes it no more: when the store lets it go at once
    // (nothing reads finished exchanges back), the observer may take its bodies' bytes.
    void FinishExchange(CExchange& exchange);
    // While the observer is told: the exchange, when it may take the bodies' bytes (moving them
    // out, the totals kept) instead of copying them; null otherwise. Whoever takes them must
    // be told last.
    CExchange* TakableExchange() const { return m_pTakable; }
    // Told of every exchange once it has ended. An empty observer removes it.
    void SetExchangeObserver(std::function<void(const CExchange&)> observer)
    {
        m_ExchangeObserver = std::move(observer);
    }
    // Off: finished exchanges are let go once the observer has seen them (runs in which nothing
    // reads them back): the store then holds none, and the relay keeps no body bytes in them.
    // On by default.
    void SetKeepExchanges(bool keep) { m_bKeepExchanges = keep; }
    bool KeepsExchanges() const { return m_bKeepExchanges; }
    // On: the relay keeps body bytes in exchanges even when the store lets them go at once,
    // for an observer that writes them out (the headless HAR). Off by default.
    void SetKeepExchangeBodies(bool keep) { m_bKeepExchangeBodies = keep; }
    bool KeepsExchangeBodies() const { return m_bKeepExchanges || m_bKeepExchangeBodies; }

    // Deletes the entries of closed connections and the finished exchanges, and empties the
    // three feeds.
    void PurgeClosedConnections();
    // Moves out the entries for which `take` holds, the others keeping their order; nothing is
    // freed here (freeing many records takes time the caller may want to spend elsewhere).
    Connections TakeConnections(const std::function<bool(const CTraceConnection&)>& take);
    // Off: each entry keeps only the records that its later chunks look back at (see
    // CTraceConnection::DropSettledRecords), each older one freed once it has been observed.
    // For runs in which nothing reads the records back. On by default.
    void SetKeepSettledRecords(bool keep) { m_bKeepSettledRecords = keep; }
    bool KeepsSettledRecords() const { return m_bKeepSettledRecords; }
    // Off: a record keeps only what its log row reads once it has been observed, and
    // DropWrittenRecords frees the records the log has taken. For runs in which only the log
    // reads records back (the headless mode with a log). On by default.
    void SetKeepRecordTexts(bool keep) { m_bKeepRecordTexts = keep; }
    bool KeepsRecordTexts() const { return m_bKeepRecordTexts; }
    // Each open entry frees its written records except those later chunks or rows look back at.
    void DropWrittenRecords();
    // With settled records not kept, a closed entry holds nothing anyone reads: it is deleted
    // at once rather than at the next purge. Otherwise (and for an open entry) does nothing.
    void DropClosedEntry(CTraceConnection* entry);

    // What the records hold of decoded body text, together (see CResponseDecoder).
    const std::shared_ptr<CDecodedTextBudget>& DecodedText() const { return m_pDecodedText; }
    // A response is about to be decoded: the oldest records holding decoded text give it up
    // until half of the decoded text's bound is free.
    void MakeRoomForDecodedText();

    // The memory budget: what the records and the finished exchanges hold. Once it is reached,
    // the oldest record texts and exchange bodies leave memory (CTraceRecord::DropTexts, the
    // exchange's m_bBodiesDropped) until an eighth of it is free again.
    const std::shared_ptr<CMemoryBudget>& Memory() const { return m_pMemory; }
    void SetMemoryBudget(std::uint64_t bytes);
    // The session file being recorded: what leaves memory stays readable there. Null: it is
    // dropped.
    void SetBacking(std::shared_ptr<CTraceBacking> backing) { m_pBacking = std::move(backing); }
    // A record the entry has just made (before its observer is told): numbered, counted, and
    // among those the budget may take texts from; an older one may leave memory first.
    void KeepRecord(CTraceRecord& record);
    // A record of a capture made earlier: counted, numbered when it has no number, never
    // taken from.
    void NumberAdopted(CTraceRecord& record);
    // The record's display text (see CTraceRecord::GetDisplayText), read back from the session
    // file when the budget took it out of memory and the file holds it.
    std::string DisplayText(const CTraceRecord& record) const;
    // For an exchange whose bodies the budget took out of memory: a copy with them read back
    // from the session file, or else with the note in their place. Null when they are in memory.
    std::shared_ptr<const CExchange> BodiesReadBack(const CExchange& exchange) const;

    // Writes every unwritten record's row; true when all were written, false at the first failure.
    bool WriteLog(std::FILE* file);

    // Feeds. Each append is gated by its switch.
    void AppendRequestText(const std::string& text, const std::string& banner);
    void AppendResponseText(const std::string& text, const std::string& banner);
    void AppendDebugText(const std::string& text);
    void AppendRequestText(std::string&& text, std::string&& banner);
    void AppendResponseText(std::string&& text, std::string&& banner);
    void AppendDebugText(std::string&& text);
    // A line for the debug feed whether or not Debug Trace is on: a failure the user must hear
    // of even though the relay worked around it (a refused certificate, a failed origin).
    void AppendDebugNotice(const std::string& text);
    std::string TakeRequestText() const;
    std::string TakeResponseText() const;
    std::string TakeDebugText() const;
    void ClearRequestText();
    void ClearResponseText();
    void ClearDebugText();

    // Told of every record once it is complete (the headless mode prints one line per record).
    // An empty observer removes it.
    void SetRecordObserver(std::function<void(const CTraceRecord&)> observer);
    // Whether anything reads a record's texts after it is made: a feed, the observer, or
    // whoever reads the records kept. Records that nobody reads get no texts.
    bool ReadsRecordTexts() const
    {
        return m_bKeepSettledRecords || m_RecordObserver || m_State.m_bRequestViewer
            || m_State.m_bResponseViewer;
    }
    void NotifyRecord(const CTraceRecord& record) const
    {
        if (m_RecordObserver)
            m_RecordObserver(record);
    }

    // Takes every debug line, in order, in place of the debug feed (which keeps only the
    // latest 128000 bytes). The headless mode writes them out as they come. Empty: the feed.
    void SetDebugObserver(std::function<void(const std::string&)> observer)
    {
        m_DebugObserver = std::move(observer);
    }
    // Told of every debug line as well, the feed or the observer still taking it (the window's
    // session recording). An empty tap removes it.
    void SetDebugTap(std::function<void(const std::string&)> tap) { m_DebugTap = std::move(tap); }

    // Told once, before the store next frees records (a purge, a drop, its own end), so that
    // whoever holds pointers to records (the Listing's rows) lets go of them first. One
    // watch per watcher; a watcher that goes away first unwatches.
    void WatchRecordsFreed(const void* watcher, std::function<void()> letGo) const;
    void UnwatchRecordsFreed(const void* watcher) const;
    // Records are about to be freed: every watcher is told, then forgotten.
    void BeforeFreeingRecords()
    {
        if (!m_FreeWatchers.empty())
            TellFreeWatchers();
    }

    // Pending lengths, for tests and the window.
    std::int64_t GetRequestCount() const { return m_Request.count; }
    std::int64_t GetResponseCount() const { return m_Response.count; }
    std::int64_t GetDebugCount() const { return m_Debug.count; }

private:
    struct Feed {
        std::deque<std::string> entries; // oldest first
        std::int64_t count = 0;          // sum of the entries' lengths
    };
    static void Append(Feed& feed, std::string* banner, std::string& text);
    static std::string Take(const Feed& feed);
    static void Clear(Feed& feed);
    void TellFreeWatchers();
    // A record by entry number and sequence, while the store holds it; null otherwise.
    struct SRecordKey {
        int entry = 0;
        int sequence = 0;
    };
    CTraceRecord* FindRecord(SRecordKey key) const;
    // Forgets the keys of records no longer held (after entries were taken out).
    void ForgetFreedKeys();
    void EnforceBudget();
    // The next finished exchange not yet emptied gives up its bodies; false when none is left
    // up to `last`.
    bool DropNextBodies(std::uint64_t last);
    void CountExchange(const CExchange& exchange, bool add);

    std::unique_ptr<CTraceState> m_pOwnState; // only when no state was handed in
    CTraceState& m_State;
    Feed m_Response;
    Feed m_Request;
    Feed m_Debug;
    Connections m_Connections;
    Exchanges m_Exchanges;
    std::uint64_t m_nLastExchangeId = 0;
    std::function<void(const CExchange&)> m_ExchangeObserver;
    CExchange* m_pTakable = nullptr; // while the observer is told
    bool m_bKeepExchanges = true;
    bool m_bKeepExchangeBodies = false;
    std::function<void(const CTraceRecord&)> m_RecordObserver;
    std::function<void(const std::string&)> m_DebugObserver;
    std::function<void(const std::string&)> m_DebugTap;
    // Watching changes no record: allowed on a store seen as const.
    mutable std::vector<std::pair<const void*, std::function<void()>>> m_FreeWatchers;
    bool m_bKeepSettledRecords = true;
    bool m_bKeepRecordTexts = true;
    std::shared_ptr<CDecodedTextBudget> m_pDecodedText;
    std::shared_ptr<CMemoryBudget> m_pMemory;
    std::shared_ptr<CTraceBacking> m_pBacking;
    std::uint64_t m_nLastSerial = 0;
    std::deque<SRecordKey> m_TextsByAge;       // records whose texts may leave, oldest first
    std::deque<SRecordKey> m_DecodedByAge;     // records holding decoded text, oldest first
    std::uint64_t m_nBodiesDroppedTo = 0;      // exchanges up to this number were emptied
};

// True when debug trace lines are wanted (a store and its switch on); emitters test this
// before formatting a line, so tracing costs nothing while it is off.
inline bool DebugTraceOn(const CTraceStore* store)
{
    return store && store->State().m_bDebugTrace;
}

// Appends one debug trace line (ending in "\r\n") to the store's debug feed, when on.
inline void DebugTrace(CTraceStore* store, std::string_view line)
{
    if (DebugTraceOn(store))
        store->AppendDebugText(std::string(line));
}
