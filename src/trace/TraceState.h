#pragma once
#include <cstdint>

// The switches the trace store reads and the counters it keeps: which feeds take text, whether
// bodies are shown decoded, the byte totals and the entry numbering. The application object
// holds them as its own fields and hands them to its store; a store made without them keeps
// a set of its own.
struct CTraceState {
    // Running byte totals of the Setup page. 64-bit: a 32-bit total would turn negative
    // after 2 GiB of traffic.
    std::int64_t m_nBytesReceived = 0;
    std::int64_t m_nBytesSent = 0;
    bool m_bResponseViewer = true;
    bool m_bRequestViewer = true;
    int m_nLastEntryId = 0; // numbers trace entries; never reset during a run
    bool m_bDebugTrace = false;
    // "Decode compressed bodies": received bodies in gzip, deflate, br or zstd are shown
    // decoded in the records' display texts. The bytes relayed and counted never change.
    bool m_bDecodeBodies = false;
};
