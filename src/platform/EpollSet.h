#pragma once
#include <cstdint>
#include <vector>

#include "platform/EpollEventDispatcher.h"

class CSocketNotifiers;
class QSocketNotifier;

// One epoll set for every socket of the socket layer, watched by a single notifier on the Qt
// event loop. The loop then polls one descriptor however many connections are open, instead
// of building a poll list of all of them on every wake-up. Level-triggered, like the
// notifiers it stands in for; everything still runs on the one thread. Under a
// CEpollEventDispatcher the sockets join the dispatcher's own set instead, and its one wait
// hands their events here.
class CEpollSet : private CEpollEventDispatcher::Client {
public:
    static CEpollSet& Instance();

    // Watches fd for reading and/or writing on behalf of owner (both false: not at all).
    // False when the set could not be made or the kernel refused.
    bool Watch(int fd, CSocketNotifiers* owner, bool read, bool write);
    // Stops watching fd for good. When fd is about to be closed, closing it takes it out of the
    // kernel's set anyway, so no system call is spent on that (an event already taken for it is
    // stale all the same).
    void Forget(int fd, bool closing = false);
    // Whether Due can be used: only under the loop's own dispatcher, which runs what is due
    // before it waits again.
    bool CanDeliverDue() const { return m_nEpoll >= 0 && !m_pNotifier; }
    // The owner of fd knows an event without the kernel's word (a connect that finished inside
    // its call): the owner's OnDue runs in this pass of the loop, after the ready descriptors,
    // unless fd is forgotten first.
    void Due(int fd, CSocketNotifiers* owner);

private:
    struct Slot {
        CSocketNotifiers* owner = nullptr;
        std::uint32_t generation = 0; // tells a stale event from one for the socket now on fd
        std::uint32_t mask = 0;       // events in the kernel's set; 0: not in it
        std::uint32_t wanted = 0;     // events the owner wants: mask or fewer
    };
    CEpollSet() = default;
    bool EnsureSet();
    // Puts the slot's wanted events into the kernel's set.
    bool Apply(int fd, Slot& slot);
    void OnReady();
    void OnEpollEvent(std::uint64_t key, std::uint32_t events) override;
    void OnEpollClosed() override;
    bool HasDue() const override { return !m_Due.empty(); }
    int RunDue() override;
    int RunDueRound();
    // Takes fd's slot for owner; a new owner makes the events taken before stale.
    Slot& SlotFor(int fd, CSocketNotifiers* owner);

    int m_nEpoll = -1;
    QSocketNotifier* m_pNotifier = nullptr; // only when the set is our own, not the dispatcher's
    std::vector<Slot> m_Slots; // by descriptor
    std::vector<std::uint64_t> m_Due;   // keys of descriptors whose owners have an event due
    std::vector<std::uint64_t> m_Spare; // the list RunDue went through, kept for its room
};
