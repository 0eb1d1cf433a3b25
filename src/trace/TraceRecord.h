#pragma once
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "trace/DecodedTextBudget.h"
#include "trace/MemoryBudget.h"
#include "trace/TraceRecordFields.h"
#include "trace/TraceVocabulary.h"

// Milliseconds as seconds text with three decimals ("1.234", "0.005").
std::string FormatMilliseconds(std::int32_t ms);

// One captured chunk, kept only as text: the response header it starts with (if any), the
// display text of the rest, and whether the data is binary. Built only by
// CTraceConnection::AddChunk; the raw chunk is not kept.
class CTraceRecord {
public:
    // headerEnd: where a received header chunk's head ends, when the relay has found it
    // already (0: found here). texts: off for a record whose texts nobody reads (see
    // CTraceStore::ReadsRecordTexts), which keeps its counts, times and place alone.
    CTraceRecord(int connectionId, int sequence, ETraceDirection direction, ETracePart part,
                 std::string_view chunk, bool binary, bool ssl, std::size_t headerEnd = 0,
                 bool texts = true);
    // A chunk of a tunnel that is not decrypted, known by its count alone: the same record as
    // the constructor above makes of those bytes with ssl set.
    CTraceRecord(int connectionId, int sequence, ETraceDirection direction, ETracePart part,
                 std::size_t encryptedBytes);
    // A record as it was captured earlier (a reopened session): every field as given, no
    // text made again.
    explicit CTraceRecord(const STraceRecordFields& fields);
    virtual ~CTraceRecord() = default;

    CTraceRecord(const CTraceRecord&) = delete;
    CTraceRecord& operator=(const CTraceRecord&) = delete;

    // Readers.
    ETraceDirection GetDirection() const { return m_nDirection; }
    ETracePart GetPart() const { return m_nPart; }
    std::int32_t GetByteCount() const { return m_nBytes; }
    std::uint32_t GetStartTick() const { return m_dwStartTick; }
    std::uint32_t GetEndTick() const { return m_dwEndTick; }
    bool IsHeaderIncomplete() const { return m_bHeaderIncomplete; }
    bool IsBinary() const { return m_bBinary; }
    bool IsSSL() const { return m_bSSL; }
    bool IsWritten() const { return m_bWritten; }
    std::int32_t GetElapsed() const { return m_nElapsed; }
    void SetElapsed(std::int32_t ms) { m_nElapsed = ms; }
    int GetConnectionId() const { return m_nConnectionId; }
    int GetSequence() const { return m_nSequence; }
    // The exchange (CExchange::m_nId) the chunk belongs to; 0 for none (a tunnel's bytes, or a
    // chunk recorded outside any request).
    std::uint64_t GetExchangeId() const { return m_nExchange; }
    void SetExchangeId(std::uint64_t id) { m_nExchange = id; }
    // The store's number for the record (see STraceRecordFields::serial).
    std::uint64_t GetSerial() const { return m_nSerial; }
    void SetSerial(std::uint64_t serial) { m_nSerial = serial; }
    // The relay recorded this chunk as the start of a response head of its exchange.
    bool StartsResponse() const
    {
        return m_nExchange != 0 && m_nDirection == ETraceDirection::Received
            && m_nPart == ETracePart::Header && !m_bSSL;
    }
    const std::string& GetHeader() const { return m_strHeader; }
    const std::string& GetContentType() const { return m_strContentType; }
    const std::string& GetText() const { return m_strText; }
    std::time_t GetTimeCaptured() const { return m_timeCaptured; }
    // Every field, for keeping the record elsewhere (a session file).
    STraceRecordFields GetFields() const;

    // Text operations of a built record; each returns a new text and changes nothing.
    std::string GetFullText() const;         // header followed by display text
    std::string GetBanner() const;           // "\r\n-------- %s (%d-%d) --------\r\n"
    std::string GetTimeText() const;         // "%H:%M:%S"
    std::string GetIdText() const;           // "%d-%d"
    std::string GetSummary() const;          // one line, no CR, LF or tab
    // The request went in origin form to this origin ("https://host"): the summary names it.
    void SetOrigin(const std::string& origin) { m_strOrigin = origin; }
    const std::string& GetOrigin() const { return m_strOrigin; }
    std::string GetResponseTimeText() const; // FormatMilliseconds(m_nElapsed)
    // The full text for the panes, in UTF-8: a received record is read in its response's
    // charset (see ToDisplayUtf8); a sent record is its full text.
    std::string GetDisplayText() const;

    // The response's charset as its header or its HTML declared it; empty when neither did.
    const std::string& GetCharset() const { return m_strCharset; }
    void SetCharset(const std::string& charset) { m_strCharset = charset; }

    // Shows decoded body bytes instead of the chunk's own: text holds them in [begin, end),
    // between a marker and a note. As for any display text, a NUL among them cuts them there
    // with the binary note and makes the record binary. The header and the byte count stay
    // those of the chunk. The record holds share (of the store's decoded text) with the text.
    void ReplaceBodyText(std::string&& text, std::size_t begin, std::size_t end,
                         CDecodedTextBudget::Share share = {});

    // A note after the display text (the end of a decoded body that was cut short).
    void AppendNote(const std::string& note);

    // Writes this record's row to the log; true, and the record marked written, when the
    // whole row was accepted (otherwise the record stays unwritten).
    bool WriteLogRow(std::FILE* file, bool useSummary);
    // The row alone (false when it could not be made), and marking it written by other means.
    bool MakeLogRow(bool useSummary, std::string& row) const;
    void MarkWritten() { m_bWritten = true; }
    // Frees the text that only viewers read, keeping what the log row reads (the header's
    // first line and the first 100 bytes of the text). For runs in which nothing but the log
    // reads records back.
    void KeepOnlyLogText()
    {
        if (m_strText.size() > 100) {
            m_strText.resize(100);
            m_strText.shrink_to_fit();
            m_decodedShare.Release();
            Recount();
        }
    }

    // The memory budget: the record counts what its texts hold there from now on.
    void CountIn(std::shared_ptr<CMemoryBudget> budget);
    // The budget takes the texts out of memory: a long header keeps its first line, the text
    // what the summary reads, then kDroppedNote. readable: the session file being recorded
    // holds them (the store reads them back by serial). Nothing for short texts.
    void DropTexts(bool readable);
    static constexpr const char* kDroppedNote = "[dropped: memory budget]";
    bool TextsDropped() const { return m_nKept != EKept::InMemory; }
    bool TextsReadable() const { return m_nKept == EKept::Readable; }
    bool HoldsDecodedText() const { return m_decodedShare.Holds(); }

private:
    // Steps of record building.
    void BuildTexts(std::string_view chunk, std::size_t headerEnd);
    void ExtractHeader(std::string_view chunk, std::size_t headerEnd);
    void ClassifyContentType();
    std::string BuildBodyText(std::string_view chunk, std::size_t skip);

    bool m_bSSL = false;
    std::int32_t m_nElapsed = 0;
    bool m_bWritten = false;
    bool m_bHeaderIncomplete = false;
    std::string m_strHeader;
    std::uint32_t m_dwStartTick = 0;
    std::uint32_t m_dwEndTick = 0;
    std::int32_t m_nSequence = 0;
    std::int32_t m_nConnectionId = 0;
    std::uint64_t m_nExchange = 0;
    bool m_bBinary = false;
    std::string m_strContentType;
    std::int32_t m_nBytes = 0;
    std::string m_strText;
    std::time_t m_timeCaptured = 0;
    ETraceDirection m_nDirection = ETraceDirection::Sent;
    ETracePart m_nPart = ETracePart::Header;
    std::string m_strCharset;
    std::string m_strOrigin;
    CDecodedTextBudget::Share m_decodedShare; // while m_strText holds decoded text
    std::uint64_t m_nSerial = 0;
    enum class EKept : std::uint8_t { InMemory, Dropped, Readable };
    EKept m_nKept = EKept::InMemory;
    CMemoryBudget::Share m_memoryShare; // what the texts hold, while counted
    void Recount();
};
