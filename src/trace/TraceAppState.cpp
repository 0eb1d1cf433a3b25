#include "trace/TraceAppState.h"

#include "trace/TraceStore.h"

#include <cassert>

namespace trace_detail {
CTraceAppState* g_pCurrentApp = nullptr;
}

namespace {
CTraceAppState*& g_pCurrent = trace_detail::g_pCurrentApp;
}

CTraceAppState::CTraceAppState()
    : m_pPrevious(g_pCurrent)
{
    g_pCurrent = this;
}

CTraceAppState::~CTraceAppState()
{
    if (g_pCurrent == this)
        g_pCurrent = m_pPrevious;
}

CTraceAppState& TraceApp()
{
    assert(g_pCurrent && "no application object");
    return *g_pCurrent;
}

bool HasTraceApp() { return g_pCurrent != nullptr; }

void DebugTrace(std::string_view line)
{
    if (DebugTraceOn())
        g_pCurrent->m_pTraceStore->AppendDebugText(std::string(line));
}
