#include "platform/NameResolver.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace {
// Lookups that may wait on the system resolver at the same time.
constexpr int kMaxWorkers = 4;
} // namespace

struct CNameResolver::Shared {
    struct Job {
        unsigned long id;
        std::string host;
    };
    struct Answer {
        unsigned long id;
        bool found;
        unsigned int address;
    };

    std::mutex lock;
    std::condition_variable wake;
    std::deque<Job> jobs;
    std::deque<Answer> answers;
    int workers = 0;
    int idle = 0;
    int eventFd = -1; // never closed: a worker may still signal it while the program exits

    static void Work(std::shared_ptr<Shared> self)
    {
        std::unique_lock<std::mutex> guard(self->lock);
        for (;;) {
            ++self->idle;
            self->wake.wait(guard, [&] { return !self->jobs.empty(); });
            --self->idle;
            Job job = std::move(self->jobs.front());
            self->jobs.pop_front();
            guard.unlock();

            addrinfo hints{};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* list = nullptr;
            Answer answer{job.id, false, 0};
            if (::getaddrinfo(job.host.c_str(), nullptr, &hints, &list) == 0) {
                for (const addrinfo* a = list; a; a = a->ai_next) {
                    if (a->ai_family == AF_INET && a->ai_addr) {
                        answer.address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
                        answer.found = true;
                        break;
                    }
                }
                ::freeaddrinfo(list);
            }

            guard.lock();
            self->answers.push_back(answer);
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t written = ::write(self->eventFd, &one, sizeof one);
        }
    }
};

CNameResolver& CNameResolver::Instance()
{
    // Never destroyed: workers blocked in the system resolver may outlive every other object.
    static CNameResolver* resolver = new CNameResolver();
    return *resolver;
}

CNameResolver::CNameResolver()
    : m_pShared(std::make_shared<Shared>())
{
    m_pShared->eventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CNameResolver::~CNameResolver() = default;

bool CNameResolver::EnsureNotifier()
{
    // The notifier goes with the application object; a later one gets a new notifier.
    static QPointer<QSocketNotifier> alive;
    if (alive)
        return true;
    if (m_pShared->eventFd < 0 || !QCoreApplication::instance())
        return false;
    m_pNotifier = new QSocketNotifier(m_pShared->eventFd, QSocketNotifier::Read,
                                      QCoreApplication::instance());
    QObject::connect(m_pNotifier, &QSocketNotifier::activated, m_pNotifier,
                     [this] { DeliverAnswers(); });
    alive = m_pNotifier;
    return true;
}

bool CNameResolver::Lookup(const std::string& host, Callback done)
{
    if (!EnsureNotifier())
        return false;
    const unsigned long id = ++m_nNextId;
    {
        std::lock_guard<std::mutex> guard(m_pShared->lock);
        if (m_pShared->idle == 0 && m_pShared->workers < kMaxWorkers) {
            try {
                std::thread(&Shared::Work, m_pShared).detach();
                ++m_pShared->workers;
            } catch (const std::system_error&) {
                if (m_pShared->workers == 0)
                    return false; // nobody would ever answer
            }
        }
        m_pShared->jobs.push_back({id, host});
    }
    m_Pending.emplace(id, std::move(done));
    m_pShared->wake.notify_one();
    return true;
}

void CNameResolver::DeliverAnswers()
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(m_pShared->eventFd, &count, sizeof count);
    std::deque<Shared::Answer> answers;
    {
        std::lock_guard<std::mutex> guard(m_pShared->lock);
        answers.swap(m_pShared->answers);
    }
    // A callback may start new lookups or delete sockets: each is taken out before it runs.
    for (const Shared::Answer& answer : answers) {
        auto it = m_Pending.find(answer.id);
        if (it == m_Pending.end())
            continue;
        Callback done = std::move(it->second);
        m_Pending.erase(it);
        if (done)
            done(answer.found, answer.address);
    }
}
