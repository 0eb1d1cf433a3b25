// The input drives a trace store the way the proxy engine does: chunks of any bytes in both
// directions on a plain and a tunnel connection, viewer and debug switches flipped, the tick
// going forward and wrapping, connections closed and purged, the log written. After every
// step the store must still add up: feed counts are the sum of their entries and never pass
// the limit, byte totals are the sum of the chunks, every record's texts follow their rules
// and every log row is one line of seven quoted fields.
#include "platform/Ticks.h"
#include "http/HeaderFunctions.h"
#include "trace/TraceState.h"
#include "trace/TraceConnection.h"
#include "trace/TraceHostLink.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what, int line)
{
    std::fprintf(stderr, "invariant broken (line %d): %s\n", line, what);
    std::abort();
}

#define CHECK(cond)                                                                          \
    do {                                                                                     \
        if (!(cond))                                                                         \
            Fail(#cond, __LINE__);                                                           \
    } while (0)

std::uint32_t g_tick = 0;
std::uint32_t g_tickStep = 0;
std::time_t g_clock = 0;

std::uint32_t FakeTick()
{
    const std::uint32_t tick = g_tick;
    g_tick += g_tickStep;
    return tick;
}

std::time_t FakeClock() { return g_clock; }

// A stand-in for the server-side connection: it only keeps the back pointer.
struct FakeHost final : CTraceHostLink {
    CTraceConnection* entry = nullptr;
    int cleared = 0;
    void ClearTraceEntry() override
    {
        entry = nullptr;
        ++cleared;
    }
};

std::string Upper(std::string_view text)
{
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    }
    return upper;
}

bool Contains(std::string_view text, std::string_view part)
{
    return text.find(part) != std::string_view::npos;
}

std::string ReferenceMilliseconds(std::int32_t ms)
{
    const std::int64_t value = ms;
    const std::int64_t magnitude = value < 0 ? -value : value;
    char text[32];
    std::snprintf(text, sizeof text, "%s%lld.%03lld", value < 0 ? "-" : "",
                  static_cast<long long>(magnitude / 1000), static_cast<long long>(magnitude % 1000));
    return text;
}

std::string ReferenceTime(std::time_t captured)
{
    std::tm local{};
    char text[16];
    if (!localtime_r(&captured, &local) || std::strftime(text, sizeof text, "%H:%M:%S", &local) == 0)
        return "00:00:00";
    return text;
}

std::string WithoutLineBreaks(std::string text)
{
    for (char& c : text) {
        if (c == '\r' || c == '\n' || c == '\t')
            c = ' ';
    }
    return text;
}

void CheckRecordTexts(const CTraceRecord& record)
{
    const std::string& header = record.GetHeader();
    const std::string& text = record.GetText();

    CHECK(record.GetFullText() == header + text);
    CHECK(text.find('\0') == std::string::npos);
    CHECK(record.GetIdText() ==
          std::to_string(record.GetConnectionId()) + "-" + std::to_string(record.GetSequence()));
    const std::string time = record.GetTimeText();
    CHECK(time == ReferenceTime(record.GetTimeCaptured()));
    CHECK(time.size() == 8 && time[2] == ':' && time[5] == ':');
    CHECK(record.GetBanner() == "\r\n-------- " + time + " (" + record.GetIdText() + ") --------\r\n");
    CHECK(record.GetResponseTimeText() == ReferenceMilliseconds(record.GetElapsed()));

    const std::string summary = record.GetSummary();
    CHECK(summary.find_first_of("\r\n\t") == std::string::npos);
    if (!header.empty()) {
        std::size_t k = header.find('\r');
        if (k == std::string::npos || k == 0)
            k = header.size();
        else if (k > 100)
            k = 100;
        CHECK(summary == WithoutLineBreaks(header.substr(0, k)));
    } else {
        CHECK(summary.size() <= 100);
        CHECK(summary == WithoutLineBreaks(text.substr(0, summary.size())));
    }
}

// Checks of one record right after AddChunk made it, against the chunk it was made from.
struct ChunkFacts {
    ETraceDirection direction;
    ETracePart part;
    std::string_view chunk;
    bool ssl;
    bool inheritedBinary;
};

void CheckNewRecord(const CTraceRecord& record, const ChunkFacts& facts)
{
    CHECK(record.GetDirection() == facts.direction);
    CHECK(record.GetPart() == facts.part);
    CHECK(record.GetByteCount() == static_cast<std::int32_t>(facts.chunk.size()));
    CHECK(record.IsSSL() == facts.ssl);
    CHECK(!record.IsWritten());
    if (facts.ssl || facts.inheritedBinary)
        CHECK(record.IsBinary());

    const std::string& header = record.GetHeader();
    const bool headerChunk = facts.direction == ETraceDirection::Received
        && facts.part == ETracePart::Header && !facts.ssl;
    if (headerChunk && !facts.inheritedBinary) {
        CHECK(facts.chunk.substr(0, header.size()) == header);
        const std::string_view h(header);
        if (record.IsHeaderIncomplete()) {
            // Every byte but the last was looked at; the last one only after a LF.
            const std::size_t length = facts.chunk.size();
            CHECK(length <= 1 ? header.empty() : header.size() >= length - 1);
        } else {
            // It ends at the first two LFs with nothing but CRs between them.
            CHECK(HeaderEndOffset(h) == h.size());
        }
    } else {
        CHECK(header.empty());
        CHECK(!record.IsHeaderIncomplete());
        CHECK(record.GetContentType().empty());
    }

    const std::string& type = record.GetContentType();
    if (!Contains(Upper(std::string_view(header).substr(0, header.find('\0'))), "CONTENT-TYPE:"))
        CHECK(type.empty());
    if (!type.empty()) {
        CHECK(Contains(header, type));
        CHECK(type.find_first_of("\r\n") == std::string::npos);
    }
    const std::string upperType = Upper(type);
    const bool typeBinary = Contains(upperType, "IMAGE") || Contains(upperType, "BINARY") ||
                            Contains(upperType, "STREAM");
    if (typeBinary)
        CHECK(record.IsBinary());

    // The display text: a note when the chunk was binary before its body was looked at,
    // otherwise the body up to its first NUL with a note for the rest.
    const std::size_t skip = headerChunk ? header.size() : 0;
    const std::string& text = record.GetText();
    if (facts.ssl || facts.inheritedBinary || typeBinary) {
        const std::size_t n = facts.chunk.size() - skip;
        const char* note = facts.ssl ? " Bytes Encrypted SSL Data\r\n" : " Bytes Binary Data\r\n";
        CHECK(text == (n == 0 ? std::string() : std::to_string(n) + note));
    } else {
        const std::size_t nul = facts.chunk.find('\0');
        CHECK(record.IsBinary() == (nul != std::string_view::npos));
        const std::size_t shown = nul == std::string_view::npos ? facts.chunk.size() : nul;
        std::string expected;
        if (shown > skip)
            expected = facts.chunk.substr(skip, shown - skip);
        if (shown < facts.chunk.size())
            expected += "\r\nBinary Data - not shown. " +
                        std::to_string(facts.chunk.size() - shown) + " bytes.\r\n";
        CHECK(text == expected);
    }
    // The text operations are checked for every record at the end of the run.
}

// The input is a stream of operations, so that seeds can be written as real exchanges
// (an operation byte counts modulo 16; 12 to 15 and any other 1 than the byte 1 are 0):
//   0 flags len16 bytes     AddChunk; flags bit 0 slot (1 = the tunnel), bit 1 received,
//                           bit 2 body part, bit 3 an odd part marker (int32 follows flags)
//   1 flags len16 pattern   AddChunk of the pattern repeated past the feed limit
//   2 switches              bit 0 request viewer, bit 1 response viewer, bit 2 debug trace
//   3 add32 step16          the tick jumps and then moves by 'step' per read
//   4 delta32               the wall clock moves by that many seconds
//   5 which                 clear a feed (request, response, debug)
//   6 flags len16 bytes     a debug trace line; flags bit 0 repeats it past the feed limit
//   7 slot                  the connection closes; a new one takes its slot
//   8                       purge the closed connections
//   9                       write the log
//   10                      write the log to a stream that takes nothing
//   11 back                 entry numbering jumps to INT_MAX - back % 3
// Numbers are little-endian; a stream that ends early ends the run.
class OpReader {
public:
    OpReader(const std::uint8_t* data, std::size_t size)
        : m_data(data)
        , m_size(size)
    {
    }

    bool AtEnd() const { return m_at >= m_size; }

    std::uint32_t Number(int bytes)
    {
        std::uint32_t value = 0;
        for (int i = 0; i < bytes && m_at < m_size; ++i)
            value |= static_cast<std::uint32_t>(m_data[m_at++]) << (8 * i);
        return value;
    }

    std::string Bytes(std::size_t length)
    {
        length = std::min(length, m_size - m_at);
        std::string bytes(reinterpret_cast<const char*>(m_data + m_at), length);
        m_at += length;
        return bytes;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

// One run of the store, driven by the input.
class Harness {
public:
    explicit Harness(OpReader& input)
        : m_input(input)
    {
        g_tick = 0xFFFFF000u; // wraps after a few seconds of steps
        g_tickStep = 1;
        g_clock = 1700000000;
        m_store->SetRecordObserver([this](const CTraceRecord& record) {
            ++m_observed;
            m_lastObserved = &record;
        });
        Open(0, false);
        Open(1, true);
    }

    ~Harness()
    {
        // The store goes first: every entry still attached clears its host's back pointer.
        std::vector<bool> attached;
        for (const FakeHost& host : m_hosts)
            attached.push_back(host.entry != nullptr);
        m_store.reset();
        std::size_t i = 0;
        for (const FakeHost& host : m_hosts) {
            CHECK(host.cleared == (attached[i++] ? 1 : 0));
            CHECK(host.entry == nullptr);
        }
    }

    void Run()
    {
        for (int step = 0; step < 100 && !m_input.AtEnd(); ++step) {
            // Long texts cost the most under the sanitizers: the long chunk is one opcode of
            // 256, every other byte names an operation modulo 16 (12 to 15 are chunks too).
            const std::uint32_t opcode = m_input.Number(1);
            std::uint32_t op = opcode % 16;
            if (op >= 12 || (op == 1 && opcode != 1))
                op = 0;
            switch (op) {
            case 0: {
                const std::uint32_t flags = m_input.Number(1);
                const ETracePart part = PartFrom(flags);
                AddChunk(flags, part, m_input.Bytes(m_input.Number(2)));
                break;
            }
            case 1: {
                const std::uint32_t flags = m_input.Number(1);
                const ETracePart part = PartFrom(flags);
                AddChunk(flags, part, Repeated(m_input.Bytes(m_input.Number(2) % 17)));
                break;
            }
            case 2: {
                const std::uint32_t switches = m_input.Number(1);
                m_app.m_bRequestViewer = switches & 1;
                m_app.m_bResponseViewer = (switches >> 1) & 1;
                m_app.m_bDebugTrace = (switches >> 2) & 1;
                break;
            }
            case 3:
                g_tick += m_input.Number(4);
                g_tickStep = m_input.Number(2);
                break;
            case 4:
                g_clock += static_cast<std::int32_t>(m_input.Number(4));
                break;
            case 5:
                TakeAndClearFeed(static_cast<int>(m_input.Number(1) % 3));
                break;
            case 6: {
                const std::uint32_t flags = m_input.Number(1);
                std::string text = m_input.Bytes(m_input.Number(2));
                AppendDebug(flags & 1 ? Repeated(text) : text);
                break;
            }
            case 7:
                CloseAndReopen(static_cast<int>(m_input.Number(1) & 1));
                break;
            case 8:
                Purge();
                break;
            case 9:
                WriteLog();
                break;
            case 10:
                WriteLogFails();
                break;
            case 11:
                m_app.m_nLastEntryId = INT_MAX - static_cast<int>(m_input.Number(1) % 3);
                break;
            }
            CheckStore();
        }
        for (const auto& entry : m_store->GetConnections()) {
            for (const auto& record : entry->GetRecords())
                CheckRecordTexts(*record);
        }
        WriteLog();
    }

private:
    struct Slot {
        CTraceConnection* entry = nullptr;
        FakeHost* host = nullptr;
    };

    void Open(int slot, bool ssl)
    {
        FakeHost& host = m_hosts.emplace_back();
        CTraceConnection* entry = m_store->AddConnection(&host, ssl);
        CHECK(entry && entry->IsOpen() && entry->IsSSL() == ssl && entry->GetHost() == &host);
        CHECK(entry->GetId() > 0 && entry->GetRecords().empty() && entry->GetLastRequest() == -1);
        CHECK(entry->GetId() == m_app.m_nLastEntryId);
        host.entry = entry;
        m_slots[slot] = {entry, &host};
    }

    // A long run of a short pattern: past the feed limit without long inputs.
    std::string Repeated(std::string pattern)
    {
        if (m_bigLeft == 0)
            return pattern;
        --m_bigLeft;
        if (pattern.empty())
            pattern = "x";
        const std::size_t length = static_cast<std::size_t>(FEED_LIMIT) + 1 + pattern.size() * 7;
        std::string text = std::move(pattern);
        while (text.size() < length)
            text += text;
        return text;
    }

    ETracePart PartFrom(std::uint32_t flags)
    {
        // The engine passes a header or a body part; nothing may break on another marker.
        if (flags & 8)
            return static_cast<ETracePart>(m_input.Number(4));
        return flags & 4 ? ETracePart::Body : ETracePart::Header;
    }

    void AddChunk(std::uint32_t flags, ETracePart part, const std::string& chunk)
    {
        const int slot = flags & 1;
        const int direction = (flags >> 1) & 1;
        CTraceConnection& entry = *m_slots[slot].entry;

        const auto& records = entry.GetRecords();
        const std::size_t before = records.size();
        const int lastRequest = entry.GetLastRequest();
        ChunkFacts facts{static_cast<ETraceDirection>(direction), part, chunk, entry.IsSSL(), false};
        if (!entry.IsSSL() && direction == 1 && before > 0) {
            const CTraceRecord& last = *records.back();
            if (last.GetDirection() == ETraceDirection::Sent || last.IsHeaderIncomplete())
                facts.part = ETracePart::Header;
            if (last.GetDirection() == ETraceDirection::Received && last.IsBinary())
                facts.inheritedBinary = true;
        }
        const std::int64_t requestCount = m_store->GetRequestCount();
        const std::int64_t responseCount = m_store->GetResponseCount();
        const bool fed = direction == 0 ? m_app.m_bRequestViewer : m_app.m_bResponseViewer;

        entry.AddChunk(facts.direction, part, chunk);
        (direction == 0 ? m_sent : m_received) += static_cast<std::int64_t>(chunk.size());

        CHECK(records.size() == before + 1);
        const CTraceRecord& record = *records.back();
        CHECK(m_observed == ++m_added && m_lastObserved == &record);
        CHECK(record.GetSequence() == static_cast<int>(before + 1));
        CHECK(record.GetConnectionId() == entry.GetId());
        CheckNewRecord(record, facts);

        // Timing: each record from the start of the one before; a request until its latest answer.
        if (before == 0)
            CHECK(record.GetElapsed() == 0);
        else
            CHECK(record.GetElapsed() ==
                  static_cast<std::int32_t>(record.GetEndTick() - records[before - 1]->GetStartTick()));
        if (direction == 0) {
            CHECK(entry.GetLastRequest() == static_cast<int>(before));
        } else {
            CHECK(entry.GetLastRequest() == lastRequest);
            if (lastRequest >= 0) {
                const CTraceRecord& request = *records[static_cast<std::size_t>(lastRequest)];
                CHECK(request.GetElapsed() ==
                      static_cast<std::int32_t>(record.GetEndTick() - request.GetStartTick()));
            }
        }

        // The feed of the direction ends with the banner and the full text, as far as the
        // limit lets it; the other feed is untouched.
        CHECK((direction == 0 ? m_store->GetResponseCount() : m_store->GetRequestCount()) ==
              (direction == 0 ? responseCount : requestCount));
        const std::int64_t mineBefore = direction == 0 ? requestCount : responseCount;
        if (!fed) {
            CHECK((direction == 0 ? m_store->GetRequestCount() : m_store->GetResponseCount()) ==
                  mineBefore);
            return;
        }
        const std::string mineAfter =
            direction == 0 ? m_store->TakeRequestText() : m_store->TakeResponseText();
        const std::string banner = record.GetBanner();
        // A received text is fed in UTF-8, read in its response's charset.
        const std::string full = direction == 0 ? record.GetFullText() : record.GetDisplayText();
        const auto limit = static_cast<std::size_t>(FEED_LIMIT);
        if (full.size() > limit)
            CHECK(mineAfter.empty());
        else if (banner.size() + full.size() > limit)
            CHECK(mineAfter == full);
        else
            CHECK(std::string_view(mineAfter).ends_with(banner + full));
    }

    void TakeAndClearFeed(int which)
    {
        switch (which) {
        case 0:
            m_store->ClearRequestText();
            CHECK(m_store->GetRequestCount() == 0 && m_store->TakeRequestText().empty());
            break;
        case 1:
            m_store->ClearResponseText();
            CHECK(m_store->GetResponseCount() == 0 && m_store->TakeResponseText().empty());
            break;
        default:
            m_store->ClearDebugText();
            CHECK(m_store->GetDebugCount() == 0 && m_store->TakeDebugText().empty());
            break;
        }
    }

    void AppendDebug(const std::string& text)
    {
        const std::string before = m_store->TakeDebugText();
        DebugTrace(m_store.get(), text);
        const std::string after = m_store->TakeDebugText();
        if (!m_app.m_bDebugTrace)
            CHECK(after == before);
        else if (text.size() > static_cast<std::size_t>(FEED_LIMIT))
            CHECK(after.empty());
        else
            CHECK(std::string_view(after).ends_with(text));
    }

    // The server-side connection goes away: its entry stays, closed, until a purge.
    void CloseAndReopen(int slot)
    {
        Slot& s = m_slots[slot];
        const bool ssl = s.entry->IsSSL();
        s.entry->DetachConnection();
        CHECK(!s.entry->IsOpen() && s.entry->GetHost() == nullptr);
        s.host->entry = nullptr;
        Open(slot, ssl);
    }

    void Purge()
    {
        std::size_t open = 0;
        for (const auto& entry : m_store->GetConnections())
            open += entry->IsOpen() ? 1 : 0;
        m_store->PurgeClosedConnections();
        const auto& entries = m_store->GetConnections();
        CHECK(entries.size() == open);
        for (const auto& entry : entries)
            CHECK(entry->IsOpen());
        CHECK(m_store->GetRequestCount() == 0 && m_store->GetResponseCount() == 0 &&
              m_store->GetDebugCount() == 0);
        CHECK(m_store->TakeRequestText().empty() && m_store->TakeResponseText().empty());
        for (const Slot& slot : m_slots) {
            bool kept = false;
            for (const auto& entry : entries)
                kept = kept || entry.get() == slot.entry;
            CHECK(kept);
        }
    }

    struct ExpectedRow {
        const CTraceRecord* record;
        bool useSummary;
    };

    std::vector<ExpectedRow> UnwrittenRows() const
    {
        std::vector<ExpectedRow> rows;
        for (const auto& entry : m_store->GetConnections()) {
            bool afterSent = false;
            for (const auto& record : entry->GetRecords()) {
                if (!record->IsWritten())
                    rows.push_back({record.get(), afterSent});
                afterSent = record->GetDirection() == ETraceDirection::Sent;
            }
        }
        return rows;
    }

    static std::vector<std::string> SplitFields(std::string_view row)
    {
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (;;) {
            const std::size_t tab = row.find('\t', start);
            fields.emplace_back(row.substr(start, tab == std::string_view::npos ? row.npos : tab - start));
            if (tab == std::string_view::npos)
                return fields;
            start = tab + 1;
        }
    }

    void WriteLog()
    {
        const std::vector<ExpectedRow> rows = UnwrittenRows();
        char* buffer = nullptr;
        std::size_t size = 0;
        std::FILE* file = open_memstream(&buffer, &size);
        CHECK(file);
        CHECK(m_store->WriteLog(file) == 1);
        std::fflush(file);
        const std::string log(buffer, size);
        std::fclose(file);
        std::free(buffer);

        for (const auto& entry : m_store->GetConnections()) {
            for (const auto& record : entry->GetRecords())
                CHECK(record->IsWritten());
        }

        // One line per row, seven quoted fields each.
        std::size_t at = 0;
        for (const ExpectedRow& expected : rows) {
            const std::size_t end = log.find("\r\n", at);
            CHECK(end != std::string::npos);
            const std::string_view row = std::string_view(log).substr(at, end - at);
            CHECK(row.find_first_of("\r\n") == std::string_view::npos);
            at = end + 2;

            const std::vector<std::string> fields = SplitFields(row);
            CHECK(fields.size() == 7);
            for (const std::string& field : fields) {
                CHECK(field.size() >= 2 && field.front() == '"' && field.back() == '"');
                CHECK(field.find('"', 1) == field.size() - 1);
            }
            const CTraceRecord& record = *expected.record;
            const bool sent = record.GetDirection() == ETraceDirection::Sent;
            CHECK(fields[0] == (sent ? "\"SEND\"" : "\"RECIEVE\""));
            CHECK(fields[1] == "\"" + std::to_string(record.GetConnectionId()) + "\"");
            CHECK(fields[2] == "\"" + std::to_string(record.GetSequence()) + "\"");
            CHECK(fields[3] == "\"" + record.GetTimeText() + "\"");
            CHECK(fields[4] == "\"" + std::to_string(record.GetByteCount()) + "\"");
            CHECK(fields[5] == "\"" + record.GetResponseTimeText() + "\"");
            std::string data = sent || expected.useSummary
                                   ? record.GetSummary()
                                   : std::to_string(record.GetByteCount()) + " bytes";
            for (char& c : data) {
                if (c == '"')
                    c = ' ';
            }
            CHECK(fields[6] == "\"" + data + "\"");
        }
        CHECK(at == log.size());
    }

    // A stream that takes no bytes: nothing is marked written, and the failure is reported.
    void WriteLogFails()
    {
        const std::size_t unwritten = UnwrittenRows().size();
        char byte = 0;
        std::FILE* file = fmemopen(&byte, 1, "r");
        CHECK(file);
        CHECK(m_store->WriteLog(file) == (unwritten == 0 ? 1 : 0));
        std::fclose(file);
        CHECK(m_store->WriteLog(nullptr) == (unwritten == 0 ? 1 : 0));
        CHECK(UnwrittenRows().size() == unwritten);
    }

    // Each feed's count is the length of its text and within the limit. The text is taken
    // again only when the count moved: big feeds make copying the costliest part of a run.
    void CheckStore()
    {
        CHECK(m_app.m_nBytesSent == m_sent);
        CHECK(m_app.m_nBytesReceived == m_received);
        const std::int64_t counts[] = {m_store->GetRequestCount(), m_store->GetResponseCount(),
                                       m_store->GetDebugCount()};
        for (int i = 0; i < 3; ++i) {
            CHECK(counts[i] >= 0 && counts[i] <= FEED_LIMIT);
            if (counts[i] == m_checkedCounts[i])
                continue;
            const std::string text = i == 0   ? m_store->TakeRequestText()
                                     : i == 1 ? m_store->TakeResponseText()
                                              : m_store->TakeDebugText();
            CHECK(counts[i] == static_cast<std::int64_t>(text.size()));
            m_checkedCounts[i] = counts[i];
        }
    }

    OpReader& m_input;
    CTraceState m_app;
    std::deque<FakeHost> m_hosts; // outlive the store, which may still point at them
    std::unique_ptr<CTraceStore> m_store = std::make_unique<CTraceStore>(m_app);
    Slot m_slots[2];
    std::int64_t m_sent = 0;
    std::int64_t m_received = 0;
    std::int64_t m_checkedCounts[3] = {0, 0, 0};
    int m_bigLeft = 1; // long texts are costly under the sanitizers: one per run is enough
    int m_added = 0;
    int m_observed = 0;
    const CTraceRecord* m_lastObserved = nullptr;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    SetTickSource(&FakeTick);
    SetClockSource(&FakeClock);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    OpReader input(data, size);
    Harness harness(input);
    harness.Run();
    return 0;
}
