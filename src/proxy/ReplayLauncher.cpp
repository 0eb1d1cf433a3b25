#include "proxy/ReplayLauncher.h"

#include "proxy/ReplaySender.h"
#include "trace/Exchange.h"

#include <algorithm>

CReplayLauncher::CReplayLauncher(CProxyContext& context)
    : m_Context(context)
{
    m_FreeTimer.setSingleShot(true);
    m_FreeTimer.setInterval(0);
    QObject::connect(&m_FreeTimer, &QTimer::timeout, [this] { m_Over.clear(); });
}

CReplayLauncher::~CReplayLauncher() = default;

std::shared_ptr<const CExchange> CReplayLauncher::Send(const SResendRequest& request,
                                                       std::string& error)
{
    if (m_Running.size() >= kMaxRunning) {
        error = std::to_string(kMaxRunning) + " requests are still waiting for their answers";
        return nullptr;
    }
    m_Running.push_back(
        std::make_unique<CReplaySender>(m_Context, [this](CReplaySender* s) { Finished(s); }));
    CReplaySender* sender = m_Running.back().get();
    std::shared_ptr<CExchange> exchange = sender->Start(request, error);
    if (!exchange) {
        m_Running.erase(std::find_if(m_Running.begin(), m_Running.end(),
                                     [sender](const auto& s) { return s.get() == sender; }));
        return nullptr;
    }
    return exchange;
}

void CReplayLauncher::Finished(CReplaySender* sender)
{
    const auto it = std::find_if(m_Running.begin(), m_Running.end(),
                                 [sender](const auto& s) { return s.get() == sender; });
    if (it == m_Running.end())
        return;
    m_Over.push_back(std::move(*it));
    m_Running.erase(it);
    m_FreeTimer.start();
}
