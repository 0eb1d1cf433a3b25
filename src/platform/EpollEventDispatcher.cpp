#include "platform/EpollEventDispatcher.h"

#include <QCoreApplication>
#include <QMetaMethod>
#include <QSocketNotifier>
#include <QThread>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace {

// The events are made here, by instrumented code. A build with UBSan checks their dynamic type
// at each call, and that check reads memory through a pipe of its own: a run out of descriptors
// (the listener backing off) would be told the event has no valid type. Delivering an event
// needs no such check.
#if defined(__GNUC__)
#define KESTRUNE_NO_VPTR_CHECK __attribute__((no_sanitize("vptr")))
#else
#define KESTRUNE_NO_VPTR_CHECK
#endif

KESTRUNE_NO_VPTR_CHECK void SendTimerEvent(QObject* object, int id)
{
    QTimerEvent event(id);
    QCoreApplication::sendEvent(object, &event);
}

KESTRUNE_NO_VPTR_CHECK void SendSocketActivation(QSocketNotifier* notifier)
{
    QEvent event(QEvent::SockAct);
    QCoreApplication::sendEvent(notifier, &event);
}

// Events taken per wait; more stay ready and are taken by the next.
constexpr int kEventsPerWait = 256;

// The eventfd that wakes the loop; notifier keys never have this bit (their generation is
// kept under 2^30).
constexpr std::uint64_t kWakeKey = std::uint64_t{1} << 62;
constexpr std::uint32_t kGenerationMask = (1u << 30) - 1;

constexpr std::uint32_t kReadEvents = EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR;
constexpr std::uint32_t kWriteEvents = EPOLLOUT | EPOLLHUP | EPOLLERR;
constexpr std::uint32_t kExceptionEvents = EPOLLPRI | EPOLLHUP | EPOLLERR;
constexpr std::uint32_t kEventsByType[3] = {kReadEvents, kWriteEvents, kExceptionEvents};
// What is asked of the kernel for each notifier type (errors and hang-ups come unasked).
constexpr std::uint32_t kWantByType[3] = {EPOLLIN, EPOLLOUT, EPOLLPRI};

std::uint64_t NotifierKey(int fd, std::uint32_t generation)
{
    return (static_cast<std::uint64_t>(generation) << 32) | static_cast<std::uint32_t>(fd);
}

} // namespace

CEpollEventDispatcher::CEpollEventDispatcher(QObject* parent)
    : QAbstractEventDispatcher(parent)
{
    m_nEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_nWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_nEpoll < 0 || m_nWakeFd < 0)
        qFatal("kestrune: no epoll set or eventfd for the event loop (errno %d)", errno);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeKey;
    if (::epoll_ctl(m_nEpoll, EPOLL_CTL_ADD, m_nWakeFd, &event) < 0)
        qFatal("kestrune: the event loop cannot watch its eventfd (errno %d)", errno);
}

CEpollEventDispatcher::~CEpollEventDispatcher()
{
    if (m_pClient)
        m_pClient->OnEpollClosed();
    ::close(m_nWakeFd);
    ::close(m_nEpoll);
}

CEpollEventDispatcher* CEpollEventDispatcher::Current()
{
    // The thread's own dispatcher, without making one (instance() would not either).
    return dynamic_cast<CEpollEventDispatcher*>(QAbstractEventDispatcher::instance());
}

CEpollEventDispatcher::Nanos CEpollEventDispatcher::Now()
{
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<Nanos>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

namespace {

bool IsLoopSignal(const QMetaMethod& signal)
{
    return signal == QMetaMethod::fromSignal(&QAbstractEventDispatcher::awake)
        || signal == QMetaMethod::fromSignal(&QAbstractEventDispatcher::aboutToBlock);
}

} // namespace

void CEpollEventDispatcher::connectNotify(const QMetaMethod& signal)
{
    if (IsLoopSignal(signal))
        m_nLoopListeners.fetch_add(1, std::memory_order_relaxed);
}

void CEpollEventDispatcher::disconnectNotify(const QMetaMethod& signal)
{
    // After a wholesale disconnect (an invalid method) the count stays: the signals are then
    // sent to no one, which is only a little work.
    if (IsLoopSignal(signal))
        m_nLoopListeners.fetch_sub(1, std::memory_order_relaxed);
}

bool CEpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_bInterrupt.store(false, std::memory_order_relaxed);
    m_LoopThread.store(QThread::currentThreadId(), std::memory_order_relaxed);
    m_bPostedHere = false;
    const bool listened = m_nLoopListeners.load(std::memory_order_relaxed) > 0;
    if (listened)
        emit awake();
    QCoreApplication::sendPostedEvents();

    const bool withTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool withNotifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool canWait = (flags & QEventLoop::WaitForMoreEvents)
        && !m_bInterrupt.load(std::memory_order_relaxed);
    if (canWait && listened)
        emit aboutToBlock();
    if (m_bInterrupt.load(std::memory_order_relaxed))
        return false;

    epoll_event events[kEventsPerWait];
    // A watched regular file is ready on every pass: the wait must not block while one is served.
    // Nor while events posted on this thread (beyond what was sent above) wait, or a finished
    // connect waits to be told.
    const bool due = withNotifiers && m_pClient && m_pClient->HasDue();
    int timeout = WaitMs(canWait && !due && !m_bPostedHere && !(withNotifiers && m_nAlwaysReady > 0));
    if (!withTimers && timeout > 0)
        timeout = -1;
    int n = ::epoll_wait(m_nEpoll, events, kEventsPerWait, timeout);
    if (n < 0) // EINTR: a signal; what it brought is taken on the next pass
        n = 0;

    int handled = 0;
    for (int i = 0; i < n; ++i) {
        const std::uint64_t key = events[i].data.u64;
        if (key == kWakeKey) {
            ConsumeWakeUp();
            ++handled;
        } else if (!withNotifiers) {
            continue; // level-triggered: it is reported again once notifiers are served
        } else if (key & kClientKeyBit) {
            if (m_pClient) {
                m_pClient->OnEpollEvent(key, events[i].events);
                ++handled;
            }
        } else {
            handled += ActivateNotifiers(static_cast<int>(key & 0xffffffffu),
                                         static_cast<std::uint32_t>(key >> 32), events[i].events);
        }
    }
    if (withNotifiers && m_pClient)
        handled += m_pClient->RunDue();
    if (withNotifiers && m_nAlwaysReady > 0)
        handled += ActivateAlwaysReady();
    if (withTimers)
        handled += ActivateTimers();
    return handled > 0;
}

void CEpollEventDispatcher::ConsumeWakeUp()
{
    std::uint64_t count;
    while (::read(m_nWakeFd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    // A wake-up after the read finds the flag still set and writes nothing; what it posted is
    // sent at the start of the next pass anyway.
    m_nWakeUps.store(0, std::memory_order_release);
}

void CEpollEventDispatcher::wakeUp()
{
    // The loop's own thread is not waiting (it runs this): the next pass must only not block.
    // A zero timer, a queued call or a deferred delete then costs no write and no read.
    if (QThread::currentThreadId() == m_LoopThread.load(std::memory_order_relaxed)) {
        m_bPostedHere = true;
        return;
    }
    // Any other thread: one write until the loop has taken it.
    if (m_nWakeUps.exchange(1, std::memory_order_acq_rel) != 0)
        return;
    const std::uint64_t one = 1;
    while (::write(m_nWakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void CEpollEventDispatcher::interrupt()
{
    m_bInterrupt.store(true, std::memory_order_relaxed);
    wakeUp();
}

// ---------------------------------------------------------------- socket notifiers

void CEpollEventDispatcher::registerSocketNotifier(QSocketNotifier* notifier)
{
    const int fd = static_cast<int>(notifier->socket());
    const int type = static_cast<int>(notifier->type());
    if (fd < 0 || type < 0 || type > 2)
        return;
    const auto [it, added] = m_Watches.try_emplace(fd);
    Watch& watch = it->second;
    if (added)
        watch.generation = m_nNextGeneration++ & kGenerationMask;
    if (watch.notifiers[type] && watch.notifiers[type] != notifier)
        qWarning("QSocketNotifier: multiple socket notifiers for same socket %d and type %d", fd, type);
    watch.notifiers[type] = notifier;
    UpdateWatch(fd, watch);
}

void CEpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier)
{
    const int fd = static_cast<int>(notifier->socket());
    const auto it = m_Watches.find(fd);
    if (it == m_Watches.end())
        return;
    Watch& watch = it->second;
    for (QSocketNotifier*& n : watch.notifiers) {
        if (n == notifier)
            n = nullptr;
    }
    UpdateWatch(fd, watch);
    if (!watch.notifiers[0] && !watch.notifiers[1] && !watch.notifiers[2])
        m_Watches.erase(it);
}

void CEpollEventDispatcher::UpdateWatch(int fd, Watch& watch)
{
    std::uint32_t want = 0;
    for (int type = 0; type < 3; ++type) {
        if (watch.notifiers[type])
            want |= kWantByType[type];
    }
    if (watch.alwaysReady) {
        if (want == 0) {
            watch.alwaysReady = false;
            --m_nAlwaysReady;
        }
        return;
    }
    if (want == watch.events)
        return;
    epoll_event event{};
    event.events = want;
    event.data.u64 = NotifierKey(fd, watch.generation);
    int rc;
    if (want == 0)
        rc = ::epoll_ctl(m_nEpoll, EPOLL_CTL_DEL, fd, &event);
    else if (watch.events == 0)
        rc = ::epoll_ctl(m_nEpoll, EPOLL_CTL_ADD, fd, &event);
    else
        rc = ::epoll_ctl(m_nEpoll, EPOLL_CTL_MOD, fd, &event);
    if (rc < 0 && want != 0 && errno == EPERM) {
        // A regular file or the like, which poll reports always ready: so is it here.
        watch.alwaysReady = true;
        ++m_nAlwaysReady;
        watch.events = 0;
        return;
    }
    if (rc < 0 && want != 0 && errno == EEXIST)
        rc = ::epoll_ctl(m_nEpoll, EPOLL_CTL_MOD, fd, &event);
    if (rc < 0 && want != 0)
        qWarning("QSocketNotifier: cannot watch socket %d (errno %d)", fd, errno);
    watch.events = rc < 0 ? 0 : want;
}

int CEpollEventDispatcher::ActivateNotifiers(int fd, std::uint32_t generation, std::uint32_t events)
{
    int handled = 0;
    for (int type = 0; type < 3; ++type) {
        if (!(events & kEventsByType[type]))
            continue;
        // An earlier handler may have dropped this notifier or the whole descriptor.
        const auto it = m_Watches.find(fd);
        if (it == m_Watches.end() || it->second.generation != generation)
            return handled;
        QSocketNotifier* notifier = it->second.notifiers[type];
        if (!notifier)
            continue;
        SendSocketActivation(notifier);
        ++handled;
    }
    return handled;
}

int CEpollEventDispatcher::ActivateAlwaysReady()
{
    std::vector<std::pair<int, std::uint32_t>> ready;
    for (const auto& [fd, watch] : m_Watches) {
        if (watch.alwaysReady)
            ready.emplace_back(fd, watch.generation);
    }
    int handled = 0;
    for (const auto& [fd, generation] : ready)
        handled += ActivateNotifiers(fd, generation, EPOLLIN | EPOLLOUT);
    return handled;
}

// ---------------------------------------------------------------- timers

std::size_t CEpollEventDispatcher::FindTimer(int id) const
{
    const auto it = std::find_if(m_Timers.begin(), m_Timers.end(),
                                 [id](const Timer& t) { return t.id == id; });
    return static_cast<std::size_t>(it - m_Timers.begin());
}

void CEpollEventDispatcher::Reschedule(std::size_t index)
{
    // Moves the timer at index to its place by due time (later ones of equal time stay ahead).
    Timer timer = m_Timers[index];
    m_Timers.erase(m_Timers.begin() + static_cast<std::ptrdiff_t>(index));
    const auto at = std::upper_bound(m_Timers.begin(), m_Timers.end(), timer.due,
                                     [](Nanos due, const Timer& t) { return due < t.due; });
    m_Timers.insert(at, timer);
}

void CEpollEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                          QObject* object)
{
    if (timerId <= 0 || interval < 0 || !object)
        return;
    m_Timers.push_back({timerId, interval, timerType, object, Now() + interval * 1'000'000, m_nPass,
                        false});
    Reschedule(m_Timers.size() - 1);
}

bool CEpollEventDispatcher::unregisterTimer(int timerId)
{
    const std::size_t index = FindTimer(timerId);
    if (index == m_Timers.size())
        return false;
    m_Timers.erase(m_Timers.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
}

bool CEpollEventDispatcher::unregisterTimers(QObject* object)
{
    const auto end = std::remove_if(m_Timers.begin(), m_Timers.end(),
                                    [object](const Timer& t) { return t.object == object; });
    const bool any = end != m_Timers.end();
    m_Timers.erase(end, m_Timers.end());
    return any;
}

QList<QAbstractEventDispatcher::TimerInfo> CEpollEventDispatcher::registeredTimers(QObject* object) const
{
    QList<TimerInfo> list;
    for (const Timer& t : m_Timers) {
        if (t.object == object)
            list.append(TimerInfo(t.id, static_cast<int>(t.intervalMs), t.type));
    }
    return list;
}

int CEpollEventDispatcher::remainingTime(int timerId)
{
    const std::size_t index = FindTimer(timerId);
    if (index == m_Timers.size())
        return -1;
    const Nanos left = m_Timers[index].due - Now();
    return left <= 0 ? 0 : static_cast<int>((left + 999'999) / 1'000'000);
}

int CEpollEventDispatcher::WaitMs(bool canWait) const
{
    if (!canWait)
        return 0;
    const Nanos never = -1;
    Nanos due = never;
    for (const Timer& t : m_Timers) {
        if (!t.inCall) { // one whose event runs a nested loop must not make that loop spin
            due = t.due;
            break;
        }
    }
    if (due == never)
        return -1;
    const Nanos left = due - Now();
    if (left <= 0)
        return 0;
    // Rounded up: waking before the timer is due would only wait again.
    const Nanos ms = (left + 999'999) / 1'000'000;
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

int CEpollEventDispatcher::ActivateTimers()
{
    if (m_Timers.empty())
        return 0;
    const Nanos now = Now();
    if (m_Timers.front().due > now)
        return 0;
    // Each timer due now fires once in this pass, earliest first; those its events start, or
    // move to now (interval 0), wait for the next pass.
    const std::uint64_t pass = ++m_nPass;
    int handled = 0;
    for (;;) {
        std::size_t index = 0;
        while (index < m_Timers.size() && m_Timers[index].due <= now
               && (m_Timers[index].pass == pass || m_Timers[index].inCall))
            ++index;
        if (index == m_Timers.size() || m_Timers[index].due > now)
            return handled;
        Timer& timer = m_Timers[index];
        const int id = timer.id;
        QObject* object = timer.object;
        timer.pass = pass;
        timer.inCall = true;
        const Nanos interval = timer.intervalMs * 1'000'000;
        timer.due += interval;
        if (timer.due < now || interval == 0)
            timer.due = now + interval; // no catching up on missed periods
        Reschedule(index);
        SendTimerEvent(object, id);
        ++handled;
        // The event may have stopped it, or started others: find it again.
        const std::size_t after = FindTimer(id);
        if (after < m_Timers.size())
            m_Timers[after].inCall = false;
    }
}
