#pragma once
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

class QSocketNotifier;

// Resolves host names to IPv4 addresses without blocking the event loop: the system resolver
// (getaddrinfo) runs on a few worker threads, and each answer comes back on the event-loop
// thread through an eventfd that the loop watches. Only the lookup leaves the thread; every
// callback runs on the loop, one at a time.
class CNameResolver {
public:
    // found, and the first IPv4 address in network byte order.
    using Callback = std::function<void(bool found, unsigned int addressNetOrder)>;

    static CNameResolver& Instance();

    CNameResolver(const CNameResolver&) = delete;
    CNameResolver& operator=(const CNameResolver&) = delete;

    // Starts a lookup; done runs later on the event loop (never from inside this call).
    // False when no lookup could be started (no thread, no eventfd).
    bool Lookup(const std::string& host, Callback done);

    // Lookups whose answer has not been handed back yet.
    std::size_t PendingCount() const { return m_Pending.size(); }

private:
    struct Shared;
    CNameResolver();
    ~CNameResolver();
    bool EnsureNotifier();
    void DeliverAnswers();

    std::shared_ptr<Shared> m_pShared; // also held by the workers, which may outlive this
    QSocketNotifier* m_pNotifier = nullptr;
    std::unordered_map<unsigned long, Callback> m_Pending;
    unsigned long m_nNextId = 0;
};
