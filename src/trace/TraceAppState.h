#pragma once
#include <cstdint>
#include <string_view>

class CTraceStore;

// The fields of the application object that the trace store and the proxy engine read and
// write at the moment they need them. CTraceApp derives from this class, so these are the
// application's own fields; TraceApp() is the global accessor to the one current instance.
// Tests of the trace code construct a CTraceAppState of their own.
class CTraceAppState {
public:
    CTraceAppState();          // becomes the current instance
    virtual ~CTraceAppState(); // the previous instance (if any) becomes current again

    CTraceAppState(const CTraceAppState&) = delete;
    CTraceAppState& operator=(const CTraceAppState&) = delete;

    // Running byte totals of the Setup page. 64-bit: a 32-bit total would turn negative
    // after 2 GiB of traffic.
    std::int64_t m_nBytesReceived = 0;
    std::int64_t m_nBytesSent = 0;
    bool m_bResponseViewer = true;
    bool m_bRequestViewer = true;
    CTraceStore* m_pTraceStore = nullptr; // owned by CTraceApp; not by this base
    int m_nLastEntryId = 0;               // numbers trace entries; never reset during a run
    bool m_bDebugTrace = false;
    // "Decode compressed bodies": received bodies in gzip, deflate, br or zstd are shown
    // decoded in the records' display texts. The bytes relayed and counted never change.
    bool m_bDecodeBodies = false;

private:
    CTraceAppState* m_pPrevious = nullptr;
};

// The global accessor. Valid while an instance exists.
CTraceAppState& TraceApp();
bool HasTraceApp();

namespace trace_detail {
extern CTraceAppState* g_pCurrentApp; // the current instance; null when none
}

// True when debug trace lines are wanted (the switch is on and a store exists); emitters test
// this before formatting a line, so tracing costs nothing while it is off. Inline: it is asked
// on every read and send.
inline bool DebugTraceOn()
{
    const CTraceAppState* app = trace_detail::g_pCurrentApp;
    return app && app->m_bDebugTrace && app->m_pTraceStore;
}

// Appends one debug trace line (ending in "\r\n") to the store's debug feed, when on.
void DebugTrace(std::string_view line);
