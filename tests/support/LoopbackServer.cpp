#include "support/LoopbackServer.h"

#include "support/EventLoopWait.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

LoopbackServer::LoopbackServer(Handler handler, bool ipv6Only)
    : m_Handler(std::move(handler))
{
    m_fdListen = ::socket(ipv6Only ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 local6{};
    local6.sin6_family = AF_INET6;
    local6.sin6_addr = in6addr_loopback;
    sockaddr* address = ipv6Only ? reinterpret_cast<sockaddr*>(&local6) : reinterpret_cast<sockaddr*>(&local);
    socklen_t length = ipv6Only ? sizeof local6 : sizeof local;
    if (m_fdListen < 0 || ::bind(m_fdListen, address, length) < 0 || ::listen(m_fdListen, 256) < 0
        || ::getsockname(m_fdListen, address, &length) < 0)
        return;
    m_nPort = ntohs(ipv6Only ? local6.sin6_port : local.sin_port);
    m_Acceptor = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer()
{
    m_bStop = true;
    if (m_Acceptor.joinable())
        m_Acceptor.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        workers.swap(m_Workers);
    }
    for (std::thread& t : workers)
        t.join();
    if (m_fdListen >= 0)
        ::close(m_fdListen);
}

void LoopbackServer::AcceptLoop()
{
    while (!m_bStop) {
        pollfd p{m_fdListen, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        const int fd = ::accept4(m_fdListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++m_nAccepted;
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Workers.emplace_back([this, fd] {
            BlockingStream stream(fd);
            m_Handler(stream);
            ++m_nFinished;
        });
    }
}

bool RunClient(const std::function<void()>& fn, int timeoutMs)
{
    std::atomic<bool> done{false};
    std::thread client([&] {
        fn();
        done = true;
    });
    const bool ok = RunUntil([&] { return done.load(); }, timeoutMs);
    // Keep the proxy running while a late client finishes its own bounded waits.
    RunUntil([&] { return done.load(); }, 60000);
    client.join();
    return ok;
}
