#include "trace/TraceStore.h"

#include "trace/CharsetText.h"
#include "trace/DecodedTextBudget.h"
#include "trace/Exchange.h"
#include "trace/MemoryBudget.h"
#include "trace/TraceBacking.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "trace/OutOfMemory.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace {
// A gate reads its switch at the moment of the append.
bool RequestGate(const CTraceState& state) { return state.m_bRequestViewer; }
bool ResponseGate(const CTraceState& state) { return state.m_bResponseViewer; }
bool DebugGate(const CTraceState& state) { return state.m_bDebugTrace; }

int NextEntryId(CTraceState& state)
{
    int& last = state.m_nLastEntryId;
    // Ids only rise; after the largest one numbering starts again at 1 instead of overflowing.
    last = last == INT_MAX ? 1 : last + 1;
    return last;
}
} // namespace

CTraceStore::CTraceStore(CTraceState& state)
    : m_State(state)
    , m_pDecodedText(std::make_shared<CDecodedTextBudget>())
    , m_pMemory(std::make_shared<CMemoryBudget>())
{
}

CTraceStore::CTraceStore()
    : m_pOwnState(std::make_unique<CTraceState>())
    , m_State(*m_pOwnState)
    , m_pDecodedText(std::make_shared<CDecodedTextBudget>())
    , m_pMemory(std::make_shared<CMemoryBudget>())
{
}

void CTraceStore::CountBytes(ETraceDirection direction, std::size_t length)
{
    if (direction == ETraceDirection::Sent)
        m_State.m_nBytesSent += static_cast<std::int64_t>(length);
    else
        m_State.m_nBytesReceived += static_cast<std::int64_t>(length);
}

CTraceStore::~CTraceStore()
{
    BeforeFreeingRecords();
    // In creation order; each entry still attached clears its connection's back pointer.
    for (auto& entry : m_Connections)
        entry.reset();
    m_Connections.clear();
}

CTraceConnection* CTraceStore::AddConnection(CTraceHostLink* host, bool ssl)
{
    auto entry = std::make_unique<CTraceConnection>(NextEntryId(m_State), host, ssl, this);
    CTraceConnection* result = entry.get();
    m_Connections.push_back(std::move(entry));
    return result;
}

CTraceConnection* CTraceStore::AdoptConnection(int id, bool ssl)
{
    auto entry = std::make_unique<CTraceConnection>(id, nullptr, ssl, this);
    entry->DetachConnection();
    CTraceConnection* result = entry.get();
    m_Connections.push_back(std::move(entry));
    m_State.m_nLastEntryId = std::max(m_State.m_nLastEntryId, id);
    return result;
}

bool CTraceStore::AdoptExchange(std::shared_ptr<CExchange> exchange)
{
    if (exchange->m_nId <= m_nLastExchangeId)
        return false;
    m_nLastExchangeId = exchange->m_nId;
    CountExchange(*exchange, true);
    m_Exchanges.push_back(std::move(exchange));
    return true;
}

std::shared_ptr<CExchange> CTraceStore::AddExchange()
{
    return AddExchange(std::make_shared<CExchange>());
}

std::shared_ptr<CExchange> CTraceStore::AddExchange(std::shared_ptr<CExchange> exchange)
{
    exchange->m_nId = ++m_nLastExchangeId;
    // Held only for readers: otherwise one exchange that stays open (a long tunnel) would keep
    // every later finished one behind it.
    if (m_bKeepExchanges)
        m_Exchanges.push_back(exchange);
    return exchange;
}

const CExchange* CTraceStore::FindExchange(std::uint64_t id) const
{
    // Numbers rise in order and only finished exchanges leave: search from the newest back.
    if (m_Exchanges.empty() || id == 0)
        return nullptr;
    const std::uint64_t first = m_Exchanges.front()->m_nId;
    if (id >= first && id - first < m_Exchanges.size() && m_Exchanges[id - first]->m_nId == id)
        return m_Exchanges[id - first].get();
    const auto found = std::lower_bound(m_Exchanges.begin(), m_Exchanges.end(), id,
                                        [](const auto& e, std::uint64_t n) { return e->m_nId < n; });
    return found != m_Exchanges.end() && (*found)->m_nId == id ? found->get() : nullptr;
}

void CTraceStore::FinishExchange(CExchange& exchange)
{
    if (m_bKeepExchanges || !m_ExchangeObserver)
        return FinishExchange(std::as_const(exchange));
    m_pTakable = &exchange;
    FinishExchange(std::as_const(exchange));
    m_pTakable = nullptr;
}

void CTraceStore::FinishExchange(const CExchange& exchange)
{
    if (m_ExchangeObserver)
        m_ExchangeObserver(exchange);
    if (m_bKeepExchanges) {
        CountExchange(exchange, true);
        EnforceBudget();
        return;
    }
    // The finished ones leave; an open one keeps those after it in place.
    while (!m_Exchanges.empty() && !m_Exchanges.front()->IsOpen())
        m_Exchanges.pop_front();
}

void CTraceStore::PurgeClosedConnections()
{
    BeforeFreeingRecords();
    // Last to first, as the entries were made; the open ones keep all their records.
    for (auto it = m_Connections.rbegin(); it != m_Connections.rend(); ++it) {
        if (!(*it)->IsOpen())
            it->reset();
    }
    m_Connections.erase(std::remove(m_Connections.begin(), m_Connections.end(), nullptr),
                        m_Connections.end());
    m_Exchanges.erase(std::remove_if(m_Exchanges.begin(), m_Exchanges.end(),
                                     [this](const auto& e) {
                                         if (!e->IsOpen())
                                             CountExchange(*e, false);
                                         return !e->IsOpen();
                                     }),
                      m_Exchanges.end());
    ForgetFreedKeys();
    Clear(m_Request);
    Clear(m_Response);
    Clear(m_Debug);
}

CTraceStore::Connections CTraceStore::TakeConnections(
    const std::function<bool(const CTraceConnection&)>& take)
{
    Connections taken;
    // Room first: running out of memory then moves nothing.
    taken.reserve(static_cast<std::size_t>(std::count_if(
        m_Connections.begin(), m_Connections.end(), [&take](const auto& entry) { return take(*entry); })));
    if (!taken.capacity())
        return taken;
    TellFreeWatchers(); // the entries taken may be freed at once: no row may point at them
    auto kept = m_Connections.begin();
    for (auto& entry : m_Connections) {
        if (take(*entry))
            taken.push_back(std::move(entry));
        else
            *kept++ = std::move(entry);
    }
    m_Connections.erase(kept, m_Connections.end());
    ForgetFreedKeys();
    return taken;
}

void CTraceStore::DropClosedEntry(CTraceConnection* entry)
{
    if (m_bKeepSettledRecords || !entry || entry->IsOpen())
        return;
    // From the back: short connections, the most common ones, are among the newest entries.
    for (auto it = m_Connections.end(); it != m_Connections.begin();) {
        --it;
        if (it->get() == entry) {
            BeforeFreeingRecords();
            m_Connections.erase(it);
            return;
        }
    }
}

void CTraceStore::DropWrittenRecords()
{
    BeforeFreeingRecords();
    for (auto& entry : m_Connections)
        entry->DropWrittenRecords();
}

bool CTraceStore::WriteLog(std::FILE* file)
{
    for (auto& entry : m_Connections) {
        if (!entry->WriteLog(file))
            return false;
    }
    return true;
}

void CTraceStore::Append(Feed& feed, std::string* banner, std::string& text)
{
    // Short of memory, a viewer loses this text; the trace itself is unaffected.
    RunUnlessOutOfMemory([&] {
        if (banner && !banner->empty()) {
            const auto length = static_cast<std::int64_t>(banner->size());
            feed.entries.push_back(std::move(*banner));
            feed.count += length;
        }
        const auto length = static_cast<std::int64_t>(text.size());
        feed.entries.push_back(std::move(text));
        feed.count += length;
    });

    // Whole entries only, oldest first: an entry longer than the limit goes as well.
    for (std::size_t n = feed.entries.size(); n > 0 && feed.count > FEED_LIMIT; --n) {
        feed.count -= static_cast<std::int64_t>(feed.entries.front().size());
        feed.entries.pop_front();
    }
}

std::string CTraceStore::Take(const Feed& feed)
{
    std::string all;
    all.reserve(static_cast<std::size_t>(feed.count));
    for (const std::string& entry : feed.entries)
        all += entry;
    return all;
}

void CTraceStore::Clear(Feed& feed)
{
    feed.entries.clear();
    feed.count = 0;
}

// The copies are made inside the guard: running out of memory costs a viewer its text only.
void CTraceStore::AppendRequestText(const std::string& text, const std::string& banner)
{
    if (!RequestGate(m_State))
        return;
    RunUnlessOutOfMemory([&] { AppendRequestText(std::string(text), std::string(banner)); });
}

void CTraceStore::AppendResponseText(const std::string& text, const std::string& banner)
{
    if (!ResponseGate(m_State))
        return;
    RunUnlessOutOfMemory([&] { AppendResponseText(std::string(text), std::string(banner)); });
}

void CTraceStore::AppendDebugText(const std::string& text)
{
    if (!DebugGate(m_State))
        return;
    if (m_DebugObserver) {
        if (m_DebugTap)
            m_DebugTap(text);
        return m_DebugObserver(text);
    }
    RunUnlessOutOfMemory([&] { AppendDebugText(std::string(text)); });
}

void CTraceStore::AppendRequestText(std::string&& text, std::string&& banner)
{
    if (RequestGate(m_State))
        Append(m_Request, &banner, text);
}

void CTraceStore::AppendResponseText(std::string&& text, std::string&& banner)
{
    if (ResponseGate(m_State))
        Append(m_Response, &banner, text);
}

void CTraceStore::AppendDebugNotice(const std::string& text)
{
    if (m_DebugTap)
        m_DebugTap(text);
    if (m_DebugObserver)
        return m_DebugObserver(text);
    RunUnlessOutOfMemory([&] {
        std::string line = text;
        Append(m_Debug, nullptr, line);
    });
}

void CTraceStore::AppendDebugText(std::string&& text)
{
    if (DebugGate(m_State) && m_DebugTap)
        m_DebugTap(text);
    if (DebugGate(m_State) && m_DebugObserver)
        m_DebugObserver(text);
    else if (DebugGate(m_State))
        Append(m_Debug, nullptr, text);
}

std::string CTraceStore::TakeRequestText() const { return Take(m_Request); }
std::string CTraceStore::TakeResponseText() const { return Take(m_Response); }
std::string CTraceStore::TakeDebugText() const { return Take(m_Debug); }

void CTraceStore::ClearRequestText() { Clear(m_Request); }
void CTraceStore::ClearResponseText() { Clear(m_Response); }
void CTraceStore::ClearDebugText() { Clear(m_Debug); }

void CTraceStore::WatchRecordsFreed(const void* watcher, std::function<void()> letGo) const
{
    UnwatchRecordsFreed(watcher);
    m_FreeWatchers.emplace_back(watcher, std::move(letGo));
}

void CTraceStore::UnwatchRecordsFreed(const void* watcher) const
{
    m_FreeWatchers.erase(std::remove_if(m_FreeWatchers.begin(), m_FreeWatchers.end(),
                                        [watcher](const auto& w) { return w.first == watcher; }),
                         m_FreeWatchers.end());
}

void CTraceStore::TellFreeWatchers()
{
    // Taken out first: a watcher may watch again or unwatch while it is told.
    std::vector<std::pair<const void*, std::function<void()>>> watchers;
    watchers.swap(m_FreeWatchers);
    for (auto& watcher : watchers)
        watcher.second();
}

void CTraceStore::SetRecordObserver(std::function<void(const CTraceRecord&)> observer)
{
    m_RecordObserver = std::move(observer);
}

void CTraceStore::SetMemoryBudget(std::uint64_t bytes)
{
    m_pMemory->SetLimit(bytes);
    EnforceBudget();
}

void CTraceStore::CountExchange(const CExchange& e, bool add)
{
    const std::uint64_t bytes = sizeof(CExchange) + e.m_strRequestHead.size()
                                + e.m_strForwardedHead.size() + e.m_strResponseHead.size()
                                + e.m_strTarget.size() + e.m_RequestBody.bytes.size()
                                + e.m_ResponseBody.bytes.size();
    if (add)
        m_pMemory->Add(bytes);
    else
        m_pMemory->Remove(std::min(bytes, m_pMemory->Held()));
}

void CTraceStore::KeepRecord(CTraceRecord& record)
{
    EnforceBudget(); // before this record joins: it is the newest
    record.SetSerial(++m_nLastSerial);
    record.CountIn(m_pMemory);
    // A run that frees its records as it goes (the headless mode) has nothing to take back.
    if (!m_bKeepSettledRecords || !m_bKeepRecordTexts)
        return;
    const SRecordKey key{record.GetConnectionId(), record.GetSequence()};
    RunUnlessOutOfMemory([&] { // short of memory: the record is only never taken from
        m_TextsByAge.push_back(key);
        if (record.HoldsDecodedText())
            m_DecodedByAge.push_back(key);
    });
}

void CTraceStore::NumberAdopted(CTraceRecord& record)
{
    if (record.GetSerial() == 0)
        record.SetSerial(m_nLastSerial + 1);
    m_nLastSerial = std::max(m_nLastSerial, record.GetSerial());
    record.CountIn(m_pMemory);
}

CTraceRecord* CTraceStore::FindRecord(SRecordKey key) const
{
    // Entries are made with rising numbers, records within one with rising sequences.
    const auto entry = std::lower_bound(m_Connections.begin(), m_Connections.end(), key.entry,
                                        [](const auto& e, int id) { return e->GetId() < id; });
    if (entry == m_Connections.end() || (*entry)->GetId() != key.entry)
        return nullptr;
    const auto& records = (*entry)->GetRecords();
    const auto record = std::lower_bound(records.begin(), records.end(), key.sequence,
                                         [](const auto& r, int n) { return r->GetSequence() < n; });
    return record != records.end() && (*record)->GetSequence() == key.sequence ? record->get()
                                                                                 : nullptr;
}

void CTraceStore::ForgetFreedKeys()
{
    for (auto* keys : {&m_TextsByAge, &m_DecodedByAge}) {
        keys->erase(std::remove_if(keys->begin(), keys->end(),
                                   [this](SRecordKey key) { return !FindRecord(key); }),
                    keys->end());
        keys->shrink_to_fit();
    }
}

void CTraceStore::MakeRoomForDecodedText()
{
    const std::uint64_t wanted = m_pDecodedText->Limit() / 2;
    while (m_pDecodedText->Available() < wanted && !m_DecodedByAge.empty()) {
        const SRecordKey key = m_DecodedByAge.front();
        m_DecodedByAge.pop_front();
        if (CTraceRecord* record = FindRecord(key))
            record->DropTexts(m_pBacking != nullptr);
    }
}

bool CTraceStore::DropNextBodies(std::uint64_t last)
{
    const auto next = std::upper_bound(m_Exchanges.begin(), m_Exchanges.end(), m_nBodiesDroppedTo,
                                       [](std::uint64_t n, const auto& e) { return n < e->m_nId; });
    if (next == m_Exchanges.end() || (*next)->m_nId > last)
        return false;
    CExchange& exchange = **next;
    m_nBodiesDroppedTo = exchange.m_nId;
    // An open exchange is still being filled by the relay (and not counted yet): it stays.
    if (exchange.IsOpen() || exchange.m_bBodiesDropped)
        return true;
    CountExchange(exchange, false);
    for (SExchangeBody* body : {&exchange.m_RequestBody, &exchange.m_ResponseBody})
        std::string().swap(body->bytes);
    exchange.m_bBodiesDropped = true;
    CountExchange(exchange, true);
    return true;
}

void CTraceStore::EnforceBudget()
{
    if (!m_pMemory->IsOver())
        return;
    const std::uint64_t target = m_pMemory->Limit() - m_pMemory->Limit() / 8;
    const bool readable = m_pBacking != nullptr;
    // Oldest first: each record's texts after the bodies of its exchange and those before it.
    while (m_pMemory->Held() > target) {
        if (m_TextsByAge.empty()) {
            if (!DropNextBodies(UINT64_MAX))
                return; // nothing more to take: what is left is the newest
            continue;
        }
        const SRecordKey key = m_TextsByAge.front();
        m_TextsByAge.pop_front();
        CTraceRecord* record = FindRecord(key);
        if (!record)
            continue;
        while (DropNextBodies(record->GetExchangeId())) {
        }
        record->DropTexts(readable);
    }
}

std::string CTraceStore::DisplayText(const CTraceRecord& record) const
{
    std::string header, text;
    if (!record.TextsReadable() || !m_pBacking
        || !m_pBacking->ReadRecordTexts(record.GetSerial(), record.GetConnectionId(),
                                        record.GetSequence(), header, text))
        return record.GetDisplayText();
    text.insert(0, header);
    return record.GetDirection() == ETraceDirection::Sent ? text
                                                          : ToDisplayUtf8(text, record.GetCharset());
}

std::shared_ptr<const CExchange> CTraceStore::BodiesReadBack(const CExchange& exchange) const
{
    if (!exchange.m_bBodiesDropped)
        return nullptr;
    auto copy = std::make_shared<CExchange>(exchange);
    if (m_pBacking && m_pBacking->ReadBodies(exchange.m_nId, copy->m_RequestBody, copy->m_ResponseBody)) {
        copy->m_bBodiesDropped = false;
        return copy;
    }
    for (SExchangeBody* body : {&copy->m_RequestBody, &copy->m_ResponseBody}) {
        if (body->total > 0)
            body->bytes = CTraceRecord::kDroppedNote;
    }
    return copy;
}
