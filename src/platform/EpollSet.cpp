#include "platform/EpollSet.h"

#include "platform/SocketNotifiers.h"

#include <QSocketNotifier>

#include <sys/epoll.h>
#include <unistd.h>

namespace {
// Events taken per wake-up; more stay ready and wake the loop again.
constexpr int kEventsPerWake = 256;

// Rounds of due events per pass of the loop.
constexpr int kDueRoundsPerPass = 4;

// Generations stay under 2^31 so that a key keeps the dispatcher's client bit to itself.
constexpr std::uint32_t kGenerationMask = 0x7fffffffu;

std::uint64_t Key(int fd, std::uint32_t generation)
{
    return CEpollEventDispatcher::kClientKeyBit | (static_cast<std::uint64_t>(generation) << 32)
        | static_cast<std::uint32_t>(fd);
}
} // namespace

CEpollSet& CEpollSet::Instance()
{
    static CEpollSet* set = new CEpollSet(); // its notifier lives as long as the loop
    return *set;
}

bool CEpollSet::EnsureSet()
{
    if (m_nEpoll >= 0)
        return true;
    if (CEpollEventDispatcher* dispatcher = CEpollEventDispatcher::Current()) {
        m_nEpoll = dispatcher->EpollDescriptor();
        dispatcher->SetClient(this);
        return true;
    }
    m_nEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_nEpoll < 0)
        return false;
    m_pNotifier = new QSocketNotifier(m_nEpoll, QSocketNotifier::Read);
    QObject::connect(m_pNotifier, &QSocketNotifier::activated, [this] { OnReady(); });
    return true;
}

bool CEpollSet::Watch(int fd, CSocketNotifiers* owner, bool read, bool write)
{
    if (fd < 0 || !EnsureSet())
        return false;
    Slot& slot = SlotFor(fd, owner);
    const std::uint32_t mask = (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u);
    slot.wanted = mask;
    // Wanting fewer events than the kernel watches costs no call now: the set is narrowed when
    // an event nobody wants comes, and most sockets are closed before that (which takes them
    // out of the set by itself).
    if ((mask & ~slot.mask) == 0)
        return true;
    return Apply(fd, slot);
}

CEpollSet::Slot& CEpollSet::SlotFor(int fd, CSocketNotifiers* owner)
{
    if (static_cast<std::size_t>(fd) >= m_Slots.size())
        m_Slots.resize(static_cast<std::size_t>(fd) + 1);
    Slot& slot = m_Slots[static_cast<std::size_t>(fd)];
    if (slot.owner != owner) {
        slot.owner = owner;
        slot.generation = (slot.generation + 1) & kGenerationMask;
    }
    return slot;
}

void CEpollSet::Due(int fd, CSocketNotifiers* owner)
{
    if (fd < 0 || !CanDeliverDue())
        return;
    m_Due.push_back(Key(fd, SlotFor(fd, owner).generation));
}

int CEpollSet::RunDue()
{
    // What the owners' handlers make due meanwhile (a failed connect whose next address
    // answers at once) runs in this pass too, for a few rounds; the rest waits for the next
    // pass, which does not block while anything is due: one pass never runs away.
    int handled = 0;
    for (int round = 0; round < kDueRoundsPerPass && !m_Due.empty(); ++round)
        handled += RunDueRound();
    return handled;
}

int CEpollSet::RunDueRound()
{
    std::vector<std::uint64_t> running = std::move(m_Spare);
    running.clear();
    running.swap(m_Due);
    int handled = 0;
    for (const std::uint64_t key : running) {
        const int fd = static_cast<int>(key & 0xffffffffu);
        const auto generation = static_cast<std::uint32_t>(key >> 32) & kGenerationMask;
        if (static_cast<std::size_t>(fd) >= m_Slots.size())
            continue;
        const Slot& slot = m_Slots[static_cast<std::size_t>(fd)];
        if (slot.generation != generation || !slot.owner)
            continue; // closed, or the number went to another socket
        slot.owner->OnDue();
        ++handled;
    }
    running.clear();
    m_Spare = std::move(running);
    return handled;
}

bool CEpollSet::Apply(int fd, Slot& slot)
{
    epoll_event event{};
    // With reading comes the peer's end, told apart from data: a read that empties the queue
    // after it has come needs no second read to find the end.
    event.events = slot.wanted | ((slot.wanted & EPOLLIN) ? EPOLLRDHUP : 0u);
    event.data.u64 = Key(fd, slot.generation);
    // With no events wanted the descriptor leaves the set: a hung-up socket would otherwise
    // report itself on every wake-up.
    const int op = slot.wanted == 0 ? EPOLL_CTL_DEL
                   : slot.mask == 0 ? EPOLL_CTL_ADD
                                    : EPOLL_CTL_MOD;
    if (::epoll_ctl(m_nEpoll, op, fd, &event) < 0 && slot.wanted != 0)
        return false;
    slot.mask = slot.wanted;
    return true;
}

void CEpollSet::Forget(int fd, bool closing)
{
    if (fd < 0 || static_cast<std::size_t>(fd) >= m_Slots.size())
        return;
    Slot& slot = m_Slots[static_cast<std::size_t>(fd)];
    if (slot.mask != 0 && !closing)
        ::epoll_ctl(m_nEpoll, EPOLL_CTL_DEL, fd, nullptr);
    slot.mask = 0;
    slot.wanted = 0;
    slot.owner = nullptr;
    slot.generation = (slot.generation + 1) & kGenerationMask; // events taken for it are stale
}

void CEpollSet::OnReady()
{
    epoll_event events[kEventsPerWake];
    int n;
    do {
        n = ::epoll_wait(m_nEpoll, events, kEventsPerWake, 0);
    } while (n < 0 && errno == EINTR);
    for (int i = 0; i < n; ++i)
        OnEpollEvent(events[i].data.u64, events[i].events);
}

void CEpollSet::OnEpollEvent(std::uint64_t key, std::uint32_t events)
{
    const int fd = static_cast<int>(key & 0xffffffffu);
    const auto generation = static_cast<std::uint32_t>(key >> 32) & kGenerationMask;
    // An earlier handler of this batch may have closed the socket, or another took its number.
    if (fd < 0 || static_cast<std::size_t>(fd) >= m_Slots.size())
        return;
    Slot& slot = m_Slots[static_cast<std::size_t>(fd)];
    if (slot.generation != generation || !slot.owner)
        return;
    const bool failed = (events & (EPOLLERR | EPOLLHUP)) != 0;
    if ((events & (EPOLLIN | EPOLLOUT) & ~slot.wanted) != 0 || (failed && slot.wanted == 0)) {
        Apply(fd, slot); // the set still watched what is no longer wanted: narrowed now
        if (slot.wanted == 0)
            return;
    }
    slot.owner->OnEvents((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0,
                         (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0, failed,
                         (events & EPOLLRDHUP) != 0);
}

void CEpollSet::OnEpollClosed()
{
    // The loop's set is gone with every descriptor in it; a later watch starts afresh.
    m_nEpoll = -1;
    m_Due.clear();
    for (Slot& slot : m_Slots) {
        slot.mask = 0;
        slot.wanted = 0;
    }
}
