#include "proxy/ConnectionWatchdog.h"

#include "proxy/Proxy.h"
#include "proxy/ProxyContext.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace {
constexpr int kSweepMs = 1000;
} // namespace

CConnectionWatchdog::~CConnectionWatchdog()
{
    delete m_pTimer.data();
}

void CConnectionWatchdog::SetTimeouts(int connectS, int headerS, int idleS)
{
    m_Connect = std::chrono::seconds(connectS);
    m_Header = std::chrono::seconds(headerS);
    m_Idle = std::chrono::seconds(idleS);
}

void CConnectionWatchdog::EnsureTimer()
{
    // The timer goes with the application object; a later one gets a new timer.
    if (m_pTimer || !QCoreApplication::instance())
        return;
    m_pTimer = new QTimer(QCoreApplication::instance());
    QObject::connect(m_pTimer, &QTimer::timeout, [this] { Sweep(); });
    m_pTimer->start(kSweepMs);
}

void CConnectionWatchdog::Add(CProxy* proxy)
{
    EnsureTimer();
    m_Watched[proxy] = Watch{Phase::Header, Clock::now(), 0};
}

void CConnectionWatchdog::Remove(CProxy* proxy)
{
    const auto it = m_Watched.find(proxy);
    if (it == m_Watched.end())
        return;
    m_nHeaderBytes -= it->second.headerBytes;
    m_Watched.erase(it);
}

bool CConnectionWatchdog::HoldHeader(CProxy* proxy, std::size_t held)
{
    const auto it = m_Watched.find(proxy);
    if (it == m_Watched.end())
        return true;
    Watch& w = it->second;
    if (held > w.headerBytes && m_nHeaderBytes - w.headerBytes + held > kMaxHeaderBytesTotal)
        return false;
    m_nHeaderBytes = m_nHeaderBytes - w.headerBytes + held;
    w.headerBytes = held;
    return true;
}

void CConnectionWatchdog::HeaderComplete(CProxy* proxy)
{
    const auto it = m_Watched.find(proxy);
    if (it == m_Watched.end())
        return;
    m_nHeaderBytes -= it->second.headerBytes;
    it->second = Watch{Phase::Ready, Clock::now(), 0};
}

void CConnectionWatchdog::ConnectStarted(CProxy* proxy)
{
    const auto it = m_Watched.find(proxy);
    if (it != m_Watched.end() && it->second.phase != Phase::Header) {
        it->second.phase = Phase::Connecting;
        it->second.since = Clock::now();
    }
}

void CConnectionWatchdog::ConnectFinished(CProxy* proxy)
{
    const auto it = m_Watched.find(proxy);
    if (it != m_Watched.end() && it->second.phase == Phase::Connecting)
        it->second.phase = Phase::Relaying;
}

void CConnectionWatchdog::Sweep()
{
    const Clock::time_point now = Clock::now();
    std::vector<std::pair<CProxy*, Phase>> expired;
    for (auto& [proxy, w] : m_Watched) {
        if (w.phase == Phase::Header && now - w.since >= m_Header)
            expired.emplace_back(proxy, w.phase);
        else if (w.phase == Phase::Connecting && now - w.since >= m_Connect)
            expired.emplace_back(proxy, w.phase);
        else if (w.phase != Phase::Header
                 && now - std::max(w.since, proxy->LastActivity()) >= m_Idle)
            expired.emplace_back(proxy, Phase::Relaying);
    }
    // Each action may delete its pair (and others' handlers may run): look each one up again.
    for (const auto& [proxy, phase] : expired) {
        const auto it = m_Watched.find(proxy);
        if (it == m_Watched.end())
            continue;
        if (phase == Phase::Connecting) {
            it->second.phase = Phase::Relaying;
            it->second.since = now;
            if (proxy->Context().DebugTraceOn())
                proxy->Context().DebugTrace("CProxy - connect timed out\r\n");
            proxy->ConnectTimedOut();
        } else {
            if (proxy->Context().DebugTraceOn())
                proxy->Context().DebugTrace(phase == Phase::Header
                                                ? "CProxy - request header timed out\r\n"
                                                : "CProxy - idle, closing\r\n");
            proxy->TearDown();
        }
    }
}
