#include "support/PollOrigin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <unordered_map>

namespace {

struct Connection {
    std::string in;
    std::string out;
    std::size_t sent = 0;
    bool answered = false;
};

// The path of a request line "VERB path VERSION", or "" when there is none.
std::string PathOf(const std::string& header)
{
    const std::size_t start = header.find(' ');
    if (start == std::string::npos)
        return {};
    const std::size_t end = header.find(' ', start + 1);
    return header.substr(start + 1, end == std::string::npos ? 0 : end - start - 1);
}

} // namespace

std::string PollOrigin::Reply(const std::string& path)
{
    return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(path.size()) + "\r\n\r\n" + path;
}

PollOrigin::PollOrigin()
{
    m_fdListen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    if (m_fdListen < 0 || ::bind(m_fdListen, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0
        || ::listen(m_fdListen, SOMAXCONN) < 0
        || ::getsockname(m_fdListen, reinterpret_cast<sockaddr*>(&local), &length) < 0)
        return;
    m_fdPoll = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = m_fdListen;
    if (m_fdPoll < 0 || ::epoll_ctl(m_fdPoll, EPOLL_CTL_ADD, m_fdListen, &e) < 0)
        return;
    m_nPort = ntohs(local.sin_port);
    m_Thread = std::thread([this] { Run(); });
}

PollOrigin::~PollOrigin()
{
    m_bStop = true;
    if (m_Thread.joinable())
        m_Thread.join();
    if (m_fdPoll >= 0)
        ::close(m_fdPoll);
    if (m_fdListen >= 0)
        ::close(m_fdListen);
}

void PollOrigin::Run()
{
    std::unordered_map<int, Connection> connections;
    auto finish = [&](int fd) {
        ::epoll_ctl(m_fdPoll, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        connections.erase(fd);
    };
    // Sends what is left of the answer; true when the connection is done with.
    auto send = [&](int fd, Connection& c) {
        while (c.sent < c.out.size()) {
            const ssize_t n = ::send(fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
            if (n < 0)
                return errno != EAGAIN && errno != EWOULDBLOCK;
            c.sent += static_cast<std::size_t>(n);
        }
        ++m_nServed;
        return true;
    };

    epoll_event events[256];
    while (!m_bStop) {
        const int ready = ::epoll_wait(m_fdPoll, events, 256, 20);
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == m_fdListen) {
                for (int c; (c = ::accept4(m_fdListen, nullptr, nullptr,
                                           SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                    epoll_event e{};
                    e.events = EPOLLIN | EPOLLOUT | EPOLLET;
                    e.data.fd = c;
                    connections[c];
                    ::epoll_ctl(m_fdPoll, EPOLL_CTL_ADD, c, &e);
                }
                continue;
            }
            auto it = connections.find(fd);
            if (it == connections.end())
                continue;
            Connection& c = it->second;
            bool done = false;
            if (!c.answered) {
                char buffer[16384];
                for (;;) {
                    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                    if (n > 0) {
                        c.in.append(buffer, static_cast<std::size_t>(n));
                        continue;
                    }
                    done = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
                    break;
                }
                if (c.in.find("\r\n\r\n") != std::string::npos) {
                    c.answered = true;
                    c.out = Reply(PathOf(c.in));
                    done = false;
                }
            }
            if (c.answered)
                done = send(fd, c);
            if (done)
                finish(fd);
        }
    }
    for (auto& [fd, c] : connections)
        ::close(fd);
}
