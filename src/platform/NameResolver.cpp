#include "platform/NameResolver.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <ares.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {
// Answers are reused for their TTL, but at least this long (names from /etc/hosts have none)
// and at most this long (a name that moves is seen again soon).
constexpr std::chrono::seconds kMinKeep{2};
constexpr std::chrono::seconds kMaxKeep{60};
// A name that was not found is asked again after this long.
constexpr std::chrono::seconds kKeepNotFound{2};
// Answers kept at most; the oldest go first when there are more.
constexpr std::size_t kCacheSize = 4096;
} // namespace

struct CNameResolver::Query {
    CNameResolver* resolver;
    std::string host;
};

CNameResolver& CNameResolver::Instance()
{
    static CNameResolver* resolver = new CNameResolver(); // lives to the end of the process
    return *resolver;
}

CNameResolver::~CNameResolver()
{
    if (m_pChannel)
        ares_destroy(m_pChannel);
}

bool CNameResolver::EnsureChannel()
{
    if (m_pChannel)
        return true;
    static const bool libraryReady = ares_library_init(ARES_LIB_INIT_ALL) == ARES_SUCCESS;
    if (!libraryReady || !QCoreApplication::instance())
        return false;
    ares_options options{};
    options.sock_state_cb = [](void* data, ares_socket_t fd, int readable, int writable) {
        static_cast<CNameResolver*>(data)->OnSocketState(fd, readable != 0, writable != 0);
    };
    options.sock_state_cb_data = this;
    // Reading /etc/resolv.conf needs a descriptor: when none is left this fails, and the next
    // lookup tries again.
    if (ares_init_options(&m_pChannel, &options, ARES_OPT_SOCK_STATE_CB) != ARES_SUCCESS) {
        m_pChannel = nullptr;
        return false;
    }
    if (!m_strServers.empty()
        && ares_set_servers_ports_csv(m_pChannel, m_strServers.c_str()) != ARES_SUCCESS) {
        ares_destroy(m_pChannel);
        m_pChannel = nullptr;
        return false;
    }
    if (!m_pTimer) {
        m_pTimer = std::make_unique<QTimer>();
        m_pTimer->setSingleShot(true);
        QObject::connect(m_pTimer.get(), &QTimer::timeout,
                         [this] { Process(ARES_SOCKET_BAD, ARES_SOCKET_BAD); });
    }
    return true;
}

unsigned long CNameResolver::Lookup(const std::string& host, Callback done)
{
    const unsigned long id = ++m_nNextId == 0 ? ++m_nNextId : m_nNextId;
    const auto cached = m_Cache.find(host);
    if (cached != m_Cache.end() && cached->second.expires > Clock::now()) {
        m_Waiters.emplace(id, std::make_pair(host, std::move(done)));
        m_Queries[host].push_back(id);
        if (m_Queries[host].size() == 1)
            DeliverLater(host, cached->second);
        return id;
    }
    auto& waiting = m_Queries[host];
    if (waiting.empty()) {
        if (!EnsureChannel()) {
            m_Queries.erase(host);
            return 0;
        }
        waiting.push_back(id);
        m_Waiters.emplace(id, std::make_pair(host, std::move(done)));
        ares_addrinfo_hints hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        ++m_nInLookup;
        ares_getaddrinfo(m_pChannel, host.c_str(), nullptr, &hints, &CNameResolver::OnAnswer,
                         new Query{this, host});
        --m_nInLookup;
        RearmTimer();
        return id;
    }
    // The name is under way already: wait for the same answer.
    waiting.push_back(id);
    m_Waiters.emplace(id, std::make_pair(host, std::move(done)));
    return id;
}

bool CNameResolver::UseServers(const std::string& servers)
{
    m_strServers = servers;
    m_Cache.clear();
    if (m_pChannel) {
        ares_channeldata* old = m_pChannel;
        m_pChannel = nullptr;
        ares_destroy(old);
    }
    return EnsureChannel();
}

void CNameResolver::Cancel(unsigned long id)
{
    const auto it = m_Waiters.find(id);
    if (it == m_Waiters.end())
        return;
    auto& waiting = m_Queries[it->second.first];
    waiting.erase(std::remove(waiting.begin(), waiting.end(), id), waiting.end());
    // An emptied query is left to finish inside c-ares (it cannot be stopped alone); its
    // answer then only fills the cache.
    m_Waiters.erase(it);
}

void CNameResolver::OnAnswer(void* arg, int status, int, ares_addrinfo* result)
{
    std::unique_ptr<Query> query(static_cast<Query*>(arg));
    CNameResolver& self = *query->resolver;
    Answer answer;
    int ttl = static_cast<int>(kMaxKeep.count());
    if (status == ARES_SUCCESS && result) {
        for (const ares_addrinfo_node* node = result->nodes; node; node = node->ai_next) {
            if (!node->ai_addr)
                continue;
            CNetAddress address;
            address.family = node->ai_family;
            if (node->ai_family == AF_INET) {
                const auto* v4 = reinterpret_cast<const sockaddr_in*>(node->ai_addr);
                std::memcpy(address.bytes.data(), &v4->sin_addr, 4);
            } else if (node->ai_family == AF_INET6) {
                const auto* v6 = reinterpret_cast<const sockaddr_in6*>(node->ai_addr);
                std::memcpy(address.bytes.data(), &v6->sin6_addr, 16);
            } else {
                continue;
            }
            answer.addresses.push_back(address);
            ttl = std::min(ttl, node->ai_ttl);
        }
    }
    if (result)
        ares_freeaddrinfo(result);
    answer.found = !answer.addresses.empty();
    const auto keep = answer.found
        ? std::clamp(std::chrono::seconds(ttl), kMinKeep, kMaxKeep)
        : kKeepNotFound;
    answer.expires = Clock::now() + keep;
    if (status == ARES_EDESTRUCTION) {
        self.DeliverLater(query->host, answer); // the channel was replaced: not found
        return;
    }
    if (self.m_Cache.size() >= kCacheSize)
        self.m_Cache.clear();
    self.m_Cache[query->host] = answer;
    if (self.m_nInLookup > 0)
        self.DeliverLater(query->host, answer); // answered from inside Lookup (/etc/hosts, a bad name)
    else
        self.Deliver(query->host, answer);
}

void CNameResolver::DeliverLater(const std::string& host, const Answer& answer)
{
    QTimer::singleShot(0, QCoreApplication::instance(), [this, host, answer] { Deliver(host, answer); });
}

void CNameResolver::Deliver(const std::string& host, const Answer& answer)
{
    const auto it = m_Queries.find(host);
    if (it == m_Queries.end())
        return;
    std::vector<unsigned long> ids = std::move(it->second);
    m_Queries.erase(it);
    // A callback may start new lookups or cancel others: each is taken out before it runs.
    for (unsigned long id : ids) {
        const auto waiter = m_Waiters.find(id);
        if (waiter == m_Waiters.end())
            continue;
        Callback done = std::move(waiter->second.second);
        m_Waiters.erase(waiter);
        if (done)
            done(answer.found, answer.addresses);
    }
}

void CNameResolver::OnSocketState(int fd, bool readable, bool writable)
{
    if (!readable && !writable) {
        // Called from inside a notifier's own signal: it goes once the signal is over.
        const auto it = m_Sockets.find(fd);
        if (it != m_Sockets.end()) {
            for (QSocketNotifier* n : {it->second.first.release(), it->second.second.release()}) {
                n->setEnabled(false);
                QObject::disconnect(n, nullptr, nullptr, nullptr);
                n->deleteLater();
            }
            m_Sockets.erase(it);
        }
        return;
    }
    auto& [read, write] = m_Sockets[fd];
    if (!read) {
        read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(read.get(), &QSocketNotifier::activated, [this, fd] { Process(fd, ARES_SOCKET_BAD); });
        write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
        QObject::connect(write.get(), &QSocketNotifier::activated, [this, fd] { Process(ARES_SOCKET_BAD, fd); });
    }
    read->setEnabled(readable);
    write->setEnabled(writable);
}

void CNameResolver::Process(int readFd, int writeFd)
{
    if (!m_pChannel)
        return;
    ares_process_fd(m_pChannel, readFd, writeFd);
    RearmTimer();
}

void CNameResolver::RearmTimer()
{
    if (!m_pChannel || !m_pTimer)
        return;
    timeval wait{};
    if (!ares_timeout(m_pChannel, nullptr, &wait)) {
        m_pTimer->stop(); // nothing under way
        return;
    }
    m_pTimer->start(static_cast<int>(wait.tv_sec * 1000 + (wait.tv_usec + 999) / 1000));
}
