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

CConnectionWatchdog::SWatch* CConnectionWatchdog::Watched(CProxy* proxy)
{
    SWatch& w = proxy->m_Watch;
    return w.index == SWatch::kUnwatched ? nullptr : &w;
}

void CConnectionWatchdog::Add(CProxy* proxy)
{
    EnsureTimer();
    SWatch& w = proxy->m_Watch;
    if (w.index == SWatch::kUnwatched) {
        w.index = m_Watched.size();
        m_Watched.push_back(proxy);
    }
    m_nHeaderBytes -= w.headerBytes;
    w.phase = EPhase::Header;
    w.due = EDue::None;
    w.since = Clock::now();
    w.headerBytes = 0;
}

void CConnectionWatchdog::Remove(CProxy* proxy)
{
    SWatch* w = Watched(proxy);
    if (!w)
        return;
    m_nHeaderBytes -= w->headerBytes;
    // The last of the list takes its place.
    CProxy* last = m_Watched.back();
    m_Watched[w->index] = last;
    last->m_Watch.index = w->index;
    m_Watched.pop_back();
    *w = SWatch{};
}

bool CConnectionWatchdog::HoldHeader(CProxy* proxy, std::size_t held)
{
    SWatch* w = Watched(proxy);
    if (!w)
        return true;
    if (held > w->headerBytes && m_nHeaderBytes - w->headerBytes + held > kMaxHeaderBytesTotal)
        return false;
    m_nHeaderBytes = m_nHeaderBytes - w->headerBytes + held;
    w->headerBytes = held;
    return true;
}

void CConnectionWatchdog::HeaderComplete(CProxy* proxy)
{
    SWatch* w = Watched(proxy);
    if (!w)
        return;
    m_nHeaderBytes -= w->headerBytes;
    w->headerBytes = 0;
    w->phase = EPhase::Ready;
    w->since = Clock::now();
}

void CConnectionWatchdog::HandshakeStarted(CProxy* proxy)
{
    if (SWatch* w = Watched(proxy)) {
        w->phase = EPhase::Header;
        w->since = Clock::now();
    }
}

void CConnectionWatchdog::ConnectStarted(CProxy* proxy)
{
    SWatch* w = Watched(proxy);
    if (w && w->phase != EPhase::Header) {
        w->phase = EPhase::Connecting;
        w->since = Clock::now();
    }
}

void CConnectionWatchdog::ConnectFinished(CProxy* proxy)
{
    SWatch* w = Watched(proxy);
    if (w && w->phase == EPhase::Connecting)
        w->phase = EPhase::Relaying;
}

CConnectionWatchdog::EDue CConnectionWatchdog::DueAt(const CProxy* proxy,
                                                     Clock::time_point now) const
{
    const SWatch& w = proxy->m_Watch;
    if (w.phase == EPhase::Header)
        return now - w.since >= m_Header ? EDue::Header : EDue::None;
    if (w.phase == EPhase::Connecting && now - w.since >= m_Connect)
        return EDue::Connect;
    return now - std::max(w.since, proxy->LastActivity()) >= m_Idle ? EDue::Idle : EDue::None;
}

void CConnectionWatchdog::Sweep()
{
    const Clock::time_point now = Clock::now();
    bool any = false;
    for (CProxy* proxy : m_Watched) {
        proxy->m_Watch.due = DueAt(proxy, now);
        any = any || proxy->m_Watch.due != EDue::None;
    }
    if (!any)
        return;
    // Each action may end its pair, which then leaves the list: the last entry takes its
    // place. Walking from the end, every entry moved so has been seen already (its due
    // cleared), and no pair is looked at after it has gone.
    for (std::size_t i = m_Watched.size(); i-- > 0;) {
        if (i >= m_Watched.size())
            continue;
        CProxy* proxy = m_Watched[i];
        SWatch& w = proxy->m_Watch;
        const EDue due = w.due;
        w.due = EDue::None;
        if (due == EDue::None)
            continue;
        if (due == EDue::Connect) {
            w.phase = EPhase::Relaying;
            w.since = now;
            if (proxy->Context().DebugTraceOn())
                proxy->Context().DebugTrace("CProxy - connect timed out\r\n");
            proxy->ConnectTimedOut();
        } else {
            if (proxy->Context().DebugTraceOn())
                proxy->Context().DebugTrace(due == EDue::Header
                                                ? "CProxy - request header timed out\r\n"
                                                : "CProxy - idle, closing\r\n");
            proxy->TearDown();
        }
    }
}
