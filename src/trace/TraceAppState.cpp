#include "trace/TraceAppState.h"

#include "trace/TraceStore.h"

#include <cassert>

namespace {
CTraceAppState* g_pCurrent = nullptr;
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

bool DebugTraceOn()
{
    return g_pCurrent && g_pCurrent->m_bDebugTrace && g_pCurrent->m_pTraceStore;
}

void DebugTrace(std::string_view line)
{
    if (DebugTraceOn())
        g_pCurrent->m_pTraceStore->AppendDebugText(std::string(line));
}
