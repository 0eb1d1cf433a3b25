#pragma once
#include <QAbstractEventDispatcher>

#include <atomic>
#include <cstdint>
#include <unordered_map>
#include <vector>

// A Qt event dispatcher over one epoll set: a single epoll_wait per wake-up serves Qt's timers
// (its timeout is the next timer's), socket notifiers, posted events (an eventfd from other
// threads; the loop's own posts only keep the next wait from blocking) and the socket
// layer's own descriptors, which sit in the same set and are handed to a client without a
// second wait. Level-triggered, like the poll loop it replaces. Made before the application
// object (QCoreApplication::setEventDispatcher) or given to a thread before it starts.
class CEpollEventDispatcher : public QAbstractEventDispatcher {
public:
    // Descriptors added by a client carry keys with this bit set; it must leave it alone.
    static constexpr std::uint64_t kClientKeyBit = std::uint64_t{1} << 63;
    // Takes the events of the descriptors it added to the set itself.
    class Client {
    public:
        virtual void OnEpollEvent(std::uint64_t key, std::uint32_t events) = 0;
        // The dispatcher goes: the set is closed, every descriptor left it.
        virtual void OnEpollClosed() = 0;
        // Events the client already knows of without asking the kernel: while it has any, the
        // wait does not block, and RunDue delivers them after each pass's ready descriptors.
        virtual bool HasDue() const { return false; }
        virtual int RunDue() { return 0; }

    protected:
        ~Client() = default;
    };

    explicit CEpollEventDispatcher(QObject* parent = nullptr);
    ~CEpollEventDispatcher() override;

    // The current thread's dispatcher when it is one of these, else null.
    static CEpollEventDispatcher* Current();
    // The epoll set a client adds its descriptors to (keys with kClientKeyBit); -1 if none.
    int EpollDescriptor() const { return m_nEpoll; }
    // One client per dispatcher (null: none).
    void SetClient(Client* client) { m_pClient = client; }

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;
    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;
    void wakeUp() override;
    void interrupt() override;

protected:
    // Counts the listeners of awake and aboutToBlock: the loop sends them only to listeners.
    void connectNotify(const QMetaMethod& signal) override;
    void disconnectNotify(const QMetaMethod& signal) override;

private:
    using Nanos = std::int64_t;
    struct Timer {
        int id;
        qint64 intervalMs;
        Qt::TimerType type;
        QObject* object;
        Nanos due;
        std::uint64_t pass; // the pass that made or last fired it: it fires once per pass
        bool inCall;        // its event is being delivered (a nested loop must not fire it again)
    };
    // The notifiers on one descriptor: read, write, exception (Qt's type order).
    struct Watch {
        QSocketNotifier* notifiers[3] = {nullptr, nullptr, nullptr};
        std::uint32_t generation = 0;
        std::uint32_t events = 0; // in the kernel's set
        bool alwaysReady = false; // epoll cannot watch it (a regular file): ready on every pass
    };

    static Nanos Now();
    void UpdateWatch(int fd, Watch& watch);
    int ActivateNotifiers(int fd, std::uint32_t generation, std::uint32_t events);
    int ActivateAlwaysReady();
    int ActivateTimers();
    int WaitMs(bool canWait) const;
    void Reschedule(std::size_t index);
    std::size_t FindTimer(int id) const;
    void ConsumeWakeUp();

    int m_nEpoll = -1;
    int m_nWakeFd = -1;
    Client* m_pClient = nullptr;
    std::atomic<int> m_nWakeUps{0};
    // The thread that runs the loop, and whether it posted to itself during the pass: it needs
    // no eventfd to wake, only a pass that does not block.
    std::atomic<Qt::HANDLE> m_LoopThread{nullptr};
    bool m_bPostedHere = false;
    std::atomic<int> m_nLoopListeners{0}; // connections to awake or aboutToBlock
    std::atomic<bool> m_bInterrupt{false};
    std::unordered_map<int, Watch> m_Watches;
    std::uint32_t m_nNextGeneration = 0;
    int m_nAlwaysReady = 0;
    std::vector<Timer> m_Timers; // by due time, earliest first
    std::uint64_t m_nPass = 0;
};
