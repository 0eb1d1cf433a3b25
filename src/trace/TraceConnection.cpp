#include "trace/TraceConnection.h"

#include "trace/TraceHostLink.h"
#include "trace/ResponseDecoder.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

#include <new>
#include <string>

namespace {
// A response header longer than this is not looked into for its charset or coding.
constexpr std::size_t kMaxHeaderBytes = 65536;

// Milliseconds between two ticks of the wrapping 32-bit counter.
std::int32_t TickDifference(std::uint32_t start, std::uint32_t end)
{
    return static_cast<std::int32_t>(end - start);
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
    if (CTraceHostLink* host = m_pHost) {
        m_pHost = nullptr;
        host->ClearTraceEntry();
    }
}

void CTraceConnection::DetachConnection()
{
    m_pHost = nullptr;
    m_bOpen = false;
}

void CTraceConnection::AddChunk(int direction, int part, std::string_view chunk)
{
    direction = direction == 0 ? 0 : 1;

    bool binary = false;
    if (m_bSSL) {
        binary = true;
    } else if (direction == 1 && !m_Records.empty()) {
        const CTraceRecord& last = *m_Records.back();
        if (last.GetDirection() == 0) {
            part = 1; // the first answer to a request starts with its header
        } else {
            if (last.IsHeaderIncomplete())
                part = 1; // the header goes on in this chunk
            if (last.IsBinary())
                binary = true; // a binary response stays binary
        }
    }

    CTraceStore* store = m_pStore;
    if (store)
        store->CountBytes(direction, chunk.size()); // every chunk counts, whether shown or not
    const std::size_t index = m_Records.size();
    CTraceRecord* record = nullptr;
    try {
        auto made = std::make_unique<CTraceRecord>(m_nId, m_nRecordsMade + 1, direction, part,
                                                   chunk, binary, m_bSSL);
        record = made.get();
        if (direction == 0 && part == 1 && !m_strOrigin.empty())
            record->SetOrigin(m_strOrigin);
        m_Records.push_back(std::move(made));
        ++m_nRecordsMade;
    } catch (const std::bad_alloc&) {
        return; // nowhere to keep the record
    }
    if (direction == 1 && !m_bSSL)
        TraceResponse(*record, chunk, binary);

    if (store) {
        // The texts are only made for a feed that takes them.
        const CTraceState& state = store->State();
        const bool fed = direction == 0 ? state.m_bRequestViewer : state.m_bResponseViewer;
        if (fed) {
            std::string banner;
            std::string fullText;
            try {
                banner = record->GetBanner();
                fullText = direction == 0 ? record->GetFullText() : record->GetDisplayText();
            } catch (const std::bad_alloc&) {
                // fed with what was made
            }
            if (direction == 0)
                store->AppendRequestText(std::move(fullText), std::move(banner));
            else
                store->AppendResponseText(std::move(fullText), std::move(banner));
        }
    }
    if (direction == 0)
        m_nLastRequest = static_cast<int>(index);

    if (index > 0)
        record->SetElapsed(TickDifference(m_Records[index - 1]->GetStartTick(), record->GetEndTick()));
    if (direction == 1 && m_nLastRequest >= 0) {
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
                                     bool inheritedBinary)
{
    try {
        std::string_view body = chunk;
        if (record.GetPart() == 1 && !inheritedBinary) {
            // A header record starts a new response.
            m_pResponse.reset();
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
            m_strHeaderSoFar.append(header);
            if (fits)
                m_pResponse = std::make_unique<CResponseDecoder>(m_strHeaderSoFar, decode);
            m_strHeaderSoFar.clear();
            body = chunk.substr(header.size());
        }
        if (!m_pResponse)
            return;
        if (inheritedBinary)
            m_pResponse->StopDecoding(); // the decoded text was binary: shown as it comes
        else if (auto shown = m_pResponse->TakeBody(body))
            record.ReplaceBodyText(std::move(shown->text), shown->decodedBegin, shown->decodedEnd);
        m_pResponse->Prescan(record.GetText());
        record.SetCharset(m_pResponse->GetCharset());
    } catch (const std::bad_alloc&) {
        m_pResponse.reset(); // the rest of the response is shown as it came
        m_strHeaderSoFar.clear();
    }
}

void CTraceConnection::DropSettledRecords()
{
    // AddChunk looks back at the latest record (part, binary, timing) and times the latest
    // request; nothing looks at any other. Done in place: no allocation on the way of a chunk.
    const std::size_t held = m_Records.size();
    if (held <= 1)
        return;
    if (m_nLastRequest >= 0 && static_cast<std::size_t>(m_nLastRequest) + 1 < held) {
        if (m_nLastRequest > 0)
            m_Records.front() = std::move(m_Records[static_cast<std::size_t>(m_nLastRequest)]);
        m_Records.erase(m_Records.begin() + 1, m_Records.end() - 1);
    } else {
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

int CTraceConnection::WriteLog(std::FILE* file)
{
    int previousDirection = -1;
    for (const auto& record : m_Records) {
        // A received record right after a sent one starts the response: its status line is shown.
        if (!record->IsWritten() && !record->WriteLogRow(file, previousDirection == 0 ? 1 : 0))
            return 0;
        previousDirection = record->GetDirection();
    }
    return 1;
}
