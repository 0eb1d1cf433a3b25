#pragma once
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <array>

class QSocketNotifier;
class QTimer;
struct ares_addrinfo;
struct ares_channeldata;

// One address a name resolved to: AF_INET (4 bytes used) or AF_INET6 (16 bytes).
struct CNetAddress {
    int family = 0;
    std::array<unsigned char, 16> bytes{};
};

// Resolves host names to IPv6 and IPv4 addresses on the event loop, without threads: c-ares reads
// /etc/hosts, asks the name servers over its own sockets (watched by our notifiers) and keeps
// its retries on one timer. Lookups run side by side, so a slow name never holds up another.
// Answers are kept for a short time (their TTL, within bounds); lookups of a name already
// under way share its query. Every callback runs on the loop, one at a time, never from
// inside Lookup.
class CNameResolver {
public:
    // found, and every address in the order the resolver prefers them.
    using Callback = std::function<void(bool found, const std::vector<CNetAddress>& addresses)>;

    static CNameResolver& Instance();

    CNameResolver(const CNameResolver&) = delete;
    CNameResolver& operator=(const CNameResolver&) = delete;

    // Starts a lookup; its id, or 0 when none could be started (the resolver could not be
    // set up, e.g. out of descriptors: a later lookup tries again).
    unsigned long Lookup(const std::string& host, Callback done);
    // Forgets a lookup whose asker has gone: its callback never runs.
    void Cancel(unsigned long id);

    // Asks these name servers ("127.0.0.1:5353,...") instead of the system's; empty: the
    // system's again. For tests and benchmarks, which must not leave the machine.
    bool UseServers(const std::string& servers);

    // Lookups whose answer has not been handed back yet.
    std::size_t PendingCount() const { return m_Waiters.size(); }

private:
    using Clock = std::chrono::steady_clock;
    struct Answer {
        bool found = false;
        std::vector<CNetAddress> addresses;
        Clock::time_point expires;
    };
    struct Query; // one name under way

    CNameResolver() = default;
    ~CNameResolver();
    bool EnsureChannel();
    void Deliver(const std::string& host, const Answer& answer);
    void DeliverLater(const std::string& host, const Answer& answer);
    void OnSocketState(int fd, bool readable, bool writable);
    void Process(int readFd, int writeFd);
    void RearmTimer();
    static void OnAnswer(void* arg, int status, int timeouts, ares_addrinfo* result);

    ares_channeldata* m_pChannel = nullptr;
    std::map<int, std::pair<std::unique_ptr<QSocketNotifier>, std::unique_ptr<QSocketNotifier>>> m_Sockets;
    std::unique_ptr<QTimer> m_pTimer;
    std::unordered_map<std::string, Answer> m_Cache;
    std::unordered_map<std::string, std::vector<unsigned long>> m_Queries; // name -> waiters
    std::unordered_map<unsigned long, std::pair<std::string, Callback>> m_Waiters;
    unsigned long m_nNextId = 0;
    int m_nInLookup = 0;
    std::string m_strServers;
};
