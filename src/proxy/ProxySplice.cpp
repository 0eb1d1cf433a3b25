#include "proxy/Host.h"
#include "proxy/Proxy.h"
#include "proxy/ProxyContext.h"

namespace {
// Pipe fills per readiness event while the server keeps up.
constexpr int kFillsPerEvent = 8;
} // namespace

void CProxy::ReceiveSpliced()
{
    for (int i = 0; i < kFillsPerEvent && m_pHost && m_pHost->SplicesFromBrowser(); ++i) {
        if (m_pHost->PendingForServer() >= kBufferLimit)
            break; // the server is slow: leave the rest with the browser for now
        const int n = m_pHost->SpliceFromBrowser(*this);
        if (n == 0) {
            BrowserEnded(0);
            return;
        }
        if (n < 0) {
            if (WouldBlock(GetLastError()))
                break;
            BrowserEnded(GetLastError());
            return;
        }
        if (m_Context.DebugTraceOn())
            m_Context.DebugTrace("CProxy::OnRecieve ProcessBody\r\n");
        if (!m_pHost->FlushToServer())
            return;
        if (m_pHost && m_pHost->PendingForServer() > 0)
            break; // the server is slower: the rest waits for it to take these
        if (m_pHost && !m_pHost->BrowserMayHaveMore())
            break; // spare the read that would find nothing: readiness tells of more
    }
    if (!FlushToServers() || !FlushToBrowser())
        return;
    UpdateFlow();
}
