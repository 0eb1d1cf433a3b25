#include "trace/TraceConnection.h"

#include "trace/DecodedTextBudget.h"
#include "trace/TraceHostLink.h"
#include "trace/OutOfMemory.h"
#include "trace/ResponseDecoder.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

#include <algorithm>
#include <new>
#include <string>
#include <typeinfo>
#include <utility>

namespace {
// A response header longer than this is not looked into for its charset or coding.
constexpr std::size_t kMaxHeaderBytes = 65536;

// Milliseconds between two ticks of the wrapping 32-bit counter.
std::int32_t TickDifference(std::uint32_t start, std::uint32_t end)
{
    return static_cast<std::int32_t>(end - start);
}
// Room of records let go of, for the next ones made on this thread: the relay makes two records
// per request and, when nothing reads them back, drops them as soon.
class CRecordRoom {
public:
    CRecordRoom() = default;
    CRecordRoom(const CRecordRoom&) = delete;
    CRecordRoom& operator=(const CRecordRoom&) = delete;
    ~CRecordRoom();

    template <typename... Args> std::unique_ptr<CTraceRecord> Make(Args&&... args)
    {
        void* room = m_nFree > 0 ? m_Free[--m_nFree] : ::operator new(sizeof(CTraceRecord));
        try {
            return std::unique_ptr<CTraceRecord>(new (room) CTraceRecord(std::forward<Args>(args)...));
        } catch (...) {
            Keep(room);
            throw;
        }
    }

    // The record ends here; its room is kept for the next one.
    void Release(std::unique_ptr<CTraceRecord> record)
    {
        if (!record || m_nFree == kRooms)
            return; // freed as usual
        const CTraceRecord& held = *record;
        if (typeid(held) != typeid(CTraceRecord))
            return; // of another size: freed as usual
        CTraceRecord* ended = record.release();
        ended->~CTraceRecord();
        Keep(ended);
    }

private:
    static constexpr std::size_t kRooms = 8;
    void Keep(void* room)
    {
        if (m_nFree < kRooms)
            m_Free[m_nFree++] = room;
        else
            ::operator delete(room);
    }
    void* m_Free[kRooms] = {};
    std::size_t m_nFree = 0;
};

// Set once the thread's room is gone (a record may end later, in another object's end).
thread_local bool t_bRoomGone = false;

CRecordRoom::~CRecordRoom()
{
    t_bRoomGone = true;
    for (std::size_t i = 0; i < m_nFree; ++i)
        ::operator delete(m_Free[i]);
}

CRecordRoom* RecordRoom()
{
    if (t_bRoomGone)
        return nullptr;
    thread_local CRecordRoom room;
    return &room;
}

template <typename... Args> std::unique_ptr<CTraceRecord> MakeRecord(Args&&... args)
{
    CRecordRoom* room = RecordRoom();
    return room ? room->Make(std::forward<Args>(args)...)
                : std::make_unique<CTraceRecord>(std::forward<Args>(args)...);
}

void ReleaseRecord(std::unique_ptr<CTraceRecord>& record)
{
    if (CRecordRoom* room = RecordRoom())
        room->Release(std::move(record));
    record.reset();
}

} // namespace

CTraceConnection::CTraceConnection(int id, CTraceHostLink* host, bool ssl, CTraceStore* store)
    : m_pStore(store)
    , m_bSSL(ssl)
    , m_pHost(host)
    , m_nId(id)
{
}

CTraceConnection::~CTraceConnection()
{
    for (auto& record : m_Records)
        ReleaseRecord(record);
    if (CTraceHostLink* host = m_pHost) {
        m_pHost = nullptr;
        host->ClearTraceEntry();
    }
}

void CTraceConnection::DetachConnection()
{
    EndResponse(nullptr); // the connection's end ends a response still coming
    m_pHost = nullptr;
    m_bOpen = false;
}

void CTraceConnection::AdoptRecord(std::unique_ptr<CTraceRecord> record)
{
    if (record->GetDirection() == ETraceDirection::Sent)
        m_nLastRequest = static_cast<int>(m_Records.size());
    m_nRecordsMade = std::max(m_nRecordsMade, record->GetSequence());
    if (m_pStore)
        m_pStore->NumberAdopted(*record);
    m_Records.push_back(std::move(record));
}

void CTraceConnection::AddChunk(ETraceDirection direction, ETracePart part, std::string_view chunk,
                                std::uint64_t exchange, const SResponseHead* head)
{
    AddRecord(direction, part, chunk, chunk.size(), exchange, head);
}

void CTraceConnection::AddEncryptedCount(ETraceDirection direction, ETracePart part,
                                         std::size_t bytes, std::uint64_t exchange)
{
    if (m_bSSL) // only a tunnel's records are counts; any other entry needs the bytes
        AddRecord(direction, part, std::string_view(), bytes, exchange);
}

void CTraceConnection::AddRecord(ETraceDirection direction, ETracePart part,
                                 std::string_view chunk, std::size_t size, std::uint64_t exchange,
                                 const SResponseHead* head)
{
    const bool sent = direction == ETraceDirection::Sent;
    bool binary = false;
    if (m_bSSL) {
        binary = true;
    } else if (exchange != 0) {
        // The relay knows the part: a body stays binary only within its own response.
        const CTraceRecord* last = m_Records.empty() ? nullptr : m_Records.back().get();
        binary = !sent && part == ETracePart::Body && last && last->IsBinary()
            && last->GetDirection() == ETraceDirection::Received && last->GetExchangeId() == exchange;
    } else if (!sent && !m_Records.empty()) {
        const CTraceRecord& last = *m_Records.back();
        if (last.GetDirection() == ETraceDirection::Sent) {
            part = ETracePart::Header; // the first answer to a request starts with its header
        } else {
            if (last.IsHeaderIncomplete())
                part = ETracePart::Header; // the header goes on in this chunk
            if (last.IsBinary())
                binary = true; // a binary response stays binary
        }
    }

    CTraceStore* store = m_pStore;
    if (store)
        store->CountBytes(direction, size); // every chunk counts, whether shown or not
    // Texts that nobody will read are not made (the headless mode without outputs).
    const bool texts = !store || store->ReadsRecordTexts();
    const std::size_t index = m_Records.size();
    CTraceRecord* record = nullptr;
    const bool kept = RunUnlessOutOfMemory([&] {
        auto made = size == chunk.size()
            ? MakeRecord(m_nId, m_nRecordsMade + 1, direction, part, chunk, binary, m_bSSL,
                         head ? head->size : std::size_t{0}, texts)
            : MakeRecord(m_nId, m_nRecordsMade + 1, direction, part, size);
        record = made.get();
        record->SetExchangeId(exchange);
        if (sent && part == ETracePart::Header && !m_strOrigin.empty())
            record->SetOrigin(m_strOrigin);
        if (m_Records.capacity() == 0)
            m_Records.reserve(4); // a request and its answer, and their neighbours: one allocation
        m_Records.push_back(std::move(made));
        ++m_nRecordsMade;
    });
    if (!kept)
        return; // nowhere to keep the record
    if (!sent && !m_bSSL && texts) {
        TraceResponse(*record, chunk, binary, head);
    } else if (!sent && !m_bSSL) {
        m_pResponse.reset(); // its charset and decoded text are texts too
        m_strHeaderSoFar.clear();
    }
    if (store)
        store->KeepRecord(*record);

    if (store) {
        // The texts are only made for a feed that takes them.
        const CTraceState& state = store->State();
        const bool fed = sent ? state.m_bRequestViewer : state.m_bResponseViewer;
        if (fed) {
            std::string banner;
            std::string fullText;
            RunUnlessOutOfMemory([&] { // short of memory: fed with what was made
                banner = record->GetBanner();
                fullText = sent ? record->GetFullText() : record->GetDisplayText();
            });
            if (sent)
                store->AppendRequestText(std::move(fullText), std::move(banner));
            else
                store->AppendResponseText(std::move(fullText), std::move(banner));
        }
    }
    if (sent)
        m_nLastRequest = static_cast<int>(index);

    if (index > 0)
        record->SetElapsed(TickDifference(m_Records[index - 1]->GetStartTick(), record->GetEndTick()));
    if (!sent && m_nLastRequest >= 0) {
        CTraceRecord& request = *m_Records[static_cast<std::size_t>(m_nLastRequest)];
        request.SetElapsed(TickDifference(request.GetStartTick(), record->GetEndTick()));
    }

    if (store) {
        store->NotifyRecord(*record);
        if (!store->KeepsRecordTexts())
            record->KeepOnlyLogText();
        if (!store->KeepsSettledRecords()) {
            store->BeforeFreeingRecords();
            DropSettledRecords();
        }
    }
}

void CTraceConnection::TraceResponse(CTraceRecord& record, std::string_view chunk,
                                     bool inheritedBinary, const SResponseHead* head)
{
    const bool followed = RunUnlessOutOfMemory([&] {
        std::string_view body = chunk;
        if (record.GetPart() == ETracePart::Header && !inheritedBinary) {
            // A header record starts a new response.
            EndResponse(&record);
            const std::string& header = record.GetHeader();
            const bool fits = m_strHeaderSoFar.size() + chunk.size() <= kMaxHeaderBytes;
            if (record.IsHeaderIncomplete()) {
                if (fits)
                    m_strHeaderSoFar.append(chunk);
                else
                    m_strHeaderSoFar.clear();
                return;
            }
            const bool decode = m_pStore && m_pStore->State().m_bDecodeBodies;
            if (decode)
                m_pStore->MakeRoomForDecodedText();
            if (head && m_strHeaderSoFar.empty()) {
                if (fits) // the relay has read this head's fields already
                    m_pResponse = std::make_unique<CResponseDecoder>(head->fields, decode);
            } else {
                m_strHeaderSoFar.append(header);
                if (fits)
                    m_pResponse = std::make_unique<CResponseDecoder>(m_strHeaderSoFar, decode);
                m_strHeaderSoFar.clear();
            }
            body = chunk.substr(header.size());
        }
        if (!m_pResponse)
            return;
        if (inheritedBinary)
            m_pResponse->StopDecoding(); // the decoded text was binary: shown as it comes
        else
            ShowDecoded(record, body);
        m_pResponse->Prescan(record.GetText());
        record.SetCharset(m_pResponse->GetCharset());
    });
    if (!followed) {
        m_pResponse.reset(); // the rest of the response is shown as it came
        m_strHeaderSoFar.clear();
    }
}

void CTraceConnection::EndResponse(const CTraceRecord* next)
{
    if (!m_pResponse)
        return;
    std::string note;
    RunUnlessOutOfMemory([&] { note = m_pResponse->TakeCutShortNote(); });
    m_pResponse.reset();
    if (note.empty())
        return;
    // Its last record is the latest received one before the next response's header.
    for (auto it = m_Records.rbegin(); it != m_Records.rend(); ++it) {
        if (it->get() != next && (*it)->GetDirection() == ETraceDirection::Received) {
            (*it)->AppendNote(note);
            return;
        }
    }
}

void CTraceConnection::ShowDecoded(CTraceRecord& record, std::string_view body)
{
    // The decoded text of all records together stays within the store's budget.
    const std::shared_ptr<CDecodedTextBudget> budget = m_pStore ? m_pStore->DecodedText() : nullptr;
    auto shown = m_pResponse->TakeBody(body, budget ? budget->Available() : UINT64_MAX);
    if (!shown)
        return;
    CDecodedTextBudget::Share share(budget, shown->decodedEnd - shown->decodedBegin);
    record.ReplaceBodyText(std::move(shown->text), shown->decodedBegin, shown->decodedEnd,
                           std::move(share));
}

void CTraceConnection::DropSettledRecords()
{
    // AddChunk looks back at the latest record (part, binary, timing) and times the latest
    // request; nothing looks at any other. Done in place: no allocation on the way of a chunk.
    const std::size_t held = m_Records.size();
    if (held <= 1)
        return;
    if (m_nLastRequest >= 0 && static_cast<std::size_t>(m_nLastRequest) + 1 < held) {
        if (m_nLastRequest > 0) {
            ReleaseRecord(m_Records.front());
            m_Records.front() = std::move(m_Records[static_cast<std::size_t>(m_nLastRequest)]);
        }
        for (auto it = m_Records.begin() + 1; it != m_Records.end() - 1; ++it)
            ReleaseRecord(*it);
        m_Records.erase(m_Records.begin() + 1, m_Records.end() - 1);
    } else {
        for (auto it = m_Records.begin(); it != m_Records.end() - 1; ++it)
            ReleaseRecord(*it);
        m_Records.erase(m_Records.begin(), m_Records.end() - 1);
    }
    if (m_nLastRequest >= 0)
        m_nLastRequest = 0;
}

void CTraceConnection::DropWrittenRecords()
{
    // Rows go out in order, so the written records are the first ones.
    std::size_t written = 0;
    while (written < m_Records.size() && m_Records[written]->IsWritten())
        ++written;
    if (written < 2)
        return;
    const std::size_t lastRequest = m_nLastRequest >= 0 ? static_cast<std::size_t>(m_nLastRequest) : written;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < m_Records.size(); ++i) {
        if (i + 1 >= written || i == lastRequest || i + 1 == m_Records.size()) {
            if (i == lastRequest)
                m_nLastRequest = static_cast<int>(kept);
            if (kept != i)
                m_Records[kept] = std::move(m_Records[i]);
            ++kept;
        }
    }
    m_Records.resize(kept);
}

bool CTraceConnection::WriteLog(std::FILE* file)
{
    bool afterSent = false; // the first record follows nothing
    for (const auto& record : m_Records) {
        // A received record right after a sent one starts the response: its status line is shown.
        if (!record->IsWritten() && !record->WriteLogRow(file, afterSent))
            return false;
        afterSent = record->GetDirection() == ETraceDirection::Sent;
    }
    return true;
}
