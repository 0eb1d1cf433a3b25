#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "trace/TraceVocabulary.h"

class CTraceRecord;
struct SResponseHead;
class CTraceHostLink;
class CResponseDecoder;
class CTraceStore;

// The trace entry of one server-side connection: its records in the order they were made.
// Its store (which owns it) counts its bytes, feeds the viewers and is told of its records;
// an entry without a store only keeps its records.
class CTraceConnection {
public:
    CTraceConnection(int id, CTraceHostLink* host, bool ssl, CTraceStore* store = nullptr);
    virtual ~CTraceConnection(); // clears the host's back pointer when still attached

    CTraceConnection(const CTraceConnection&) = delete;
    CTraceConnection& operator=(const CTraceConnection&) = delete;

    // Records one chunk, sent or received, as the given part of the given exchange (0: none).
    // The chunk may hold any byte value, NUL included. head: the relay's reading of the
    // complete response head that a received header chunk starts with, when it has one (its
    // views point into the chunk): the head is then not read again here.
    void AddChunk(ETraceDirection direction, ETracePart part, std::string_view chunk,
                  std::uint64_t exchange = 0, const SResponseHead* head = nullptr);

    // Records a chunk of a tunnel entry (ssl) by its count alone, as AddChunk records those
    // bytes: its bytes went from socket to socket without passing here.
    void AddEncryptedCount(ETraceDirection direction, ETracePart part, std::size_t bytes,
                           std::uint64_t exchange = 0);

    // Appends a record captured earlier (a reopened session), numbering going on after it.
    void AdoptRecord(std::unique_ptr<CTraceRecord> record);

    // The connection object is gone: the entry stays, marked closed.
    void DetachConnection();

    // Frees the records that later chunks no longer look at: all but the latest record and the
    // latest sent record. Numbering goes on as if they were still held. Only for a run in which
    // nothing reads the records back (no Listing, no log): the headless mode without a log.
    void DropSettledRecords();

    // Frees the records already written to the log, except the latest record and the latest
    // request (later chunks look back at them) and the last written one (the next row's form
    // depends on it). Numbering goes on as before.
    void DropWrittenRecords();

    using Records = std::vector<std::unique_ptr<CTraceRecord>>;
    const Records& GetRecords() const { return m_Records; }

    // Writes the unwritten records' rows; true when all were written, false at the first failure.
    bool WriteLog(std::FILE* file);

    int GetId() const { return m_nId; }
    bool IsOpen() const { return m_bOpen; }
    bool IsSSL() const { return m_bSSL; }
    CTraceHostLink* GetHost() const { return m_pHost; }
    int GetLastRequest() const { return m_nLastRequest; }
    // Requests on this connection go to origin ("https://host[:port]") in origin form: their
    // summaries name it. The recorded bytes stay as sent.
    void SetOrigin(std::string origin) { m_strOrigin = std::move(origin); }

private:
    // AddChunk's steps; chunk is empty for a counted chunk of size bytes.
    void AddRecord(ETraceDirection direction, ETracePart part, std::string_view chunk,
                   std::size_t size, std::uint64_t exchange, const SResponseHead* head = nullptr);
    // Follows the response a received record belongs to: its charset and, when the user asked
    // for it, the decoding of its compressed body into the record's display text.
    void TraceResponse(CTraceRecord& record, std::string_view chunk, bool inheritedBinary,
                       const SResponseHead* head);
    // The response being received has ended before the next one (next: its header record, or
    // null at the connection's end): a decoded stream that had not ended says so.
    void EndResponse(const CTraceRecord* next);
    // The record shows its body bytes decoded, as far as the decoder and the store allow.
    void ShowDecoded(CTraceRecord& record, std::string_view body);

    CTraceStore* m_pStore = nullptr; // the owner
    bool m_bSSL = false;
    int m_nLastRequest = -1;
    CTraceHostLink* m_pHost = nullptr;
    bool m_bOpen = true;
    Records m_Records;
    int m_nId = 0;
    int m_nRecordsMade = 0; // records ever added, dropped ones included
    std::unique_ptr<CResponseDecoder> m_pResponse; // the response being received, if known
    std::string m_strOrigin;
    std::string m_strHeaderSoFar; // a response header that spans chunks, until its end comes
};
