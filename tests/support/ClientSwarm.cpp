#include "support/ClientSwarm.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

namespace {

struct Slot {
    int fd = -1;
    std::size_t index = 0;
    bool connected = false;
    std::string out;
    std::size_t sent = 0;
    std::string in;
};

// How much of its request a connection may have sent: only the first byte while the wave is
// held, enough for the proxy to be handed the connection.
std::size_t Allowed(const Slot& s, bool holding)
{
    return holding ? std::min<std::size_t>(1, s.out.size()) : s.out.size();
}

// Starts a non-blocking connect from 127.0.0.x; -1 when it failed at once.
int StartConnect(int port, std::size_t index)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + static_cast<uint32_t>(index % 250));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) < 0
        || (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0 && errno != EINPROGRESS)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

ClientSwarm::Result ClientSwarm::Run(int port, std::size_t count) const
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Result result;
    std::vector<Slot> open;
    std::vector<pollfd> polls;
    std::size_t next = 0;
    bool holding = false; // a wave waits until all its connections are made

    auto close = [&](std::size_t k, bool ok) {
        Slot& s = open[k];
        ::close(s.fd);
        if (!ok)
            ++result.failed;
        else if (check(s.index, s.in))
            ++result.good;
        else
            ++result.bad;
        open[k] = std::move(open.back());
        open.pop_back();
    };

    while ((next < count || !open.empty()) && Clock::now() < deadline) {
        if (open.empty() || !sendTogether) {
            while (next < count && open.size() < concurrency) {
                const std::size_t i = next++;
                const int fd = StartConnect(port, i);
                if (fd < 0) {
                    ++result.failed;
                    continue;
                }
                Slot s;
                s.fd = fd;
                s.index = i;
                s.out = request(i);
                open.push_back(std::move(s));
            }
            holding = sendTogether;
        }
        if (holding) {
            bool all = true;
            for (const Slot& s : open)
                all = all && s.connected && s.sent == Allowed(s, true);
            holding = !all || (released && !released());
        }

        polls.resize(open.size());
        for (std::size_t k = 0; k < open.size(); ++k) {
            const Slot& s = open[k];
            short events = POLLIN;
            if (!s.connected || s.sent < Allowed(s, holding))
                events |= POLLOUT;
            polls[k] = pollfd{s.fd, events, 0};
        }
        if (::poll(polls.data(), polls.size(), 20) <= 0)
            continue;

        // Walk backwards: closing a slot moves the last one into its place.
        for (std::size_t k = open.size(); k-- > 0;) {
            Slot& s = open[k];
            const short got = polls[k].revents;
            if (!got)
                continue;
            if (!s.connected) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0) {
                    close(k, false);
                    continue;
                }
                s.connected = true;
            }
            if (s.sent < Allowed(s, holding) && (got & POLLOUT)) {
                const ssize_t n = ::send(s.fd, s.out.data() + s.sent, Allowed(s, holding) - s.sent,
                                         MSG_NOSIGNAL);
                if (n > 0)
                    s.sent += static_cast<std::size_t>(n);
                else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                    close(k, false);
                    continue;
                }
            }
            if (got & (POLLIN | POLLHUP | POLLERR)) {
                char buffer[16384];
                const ssize_t n = ::recv(s.fd, buffer, sizeof buffer, 0);
                if (n > 0)
                    s.in.append(buffer, static_cast<std::size_t>(n));
                else if (n == 0)
                    close(k, true);
                else if (errno != EAGAIN && errno != EWOULDBLOCK)
                    close(k, false);
            }
        }
    }
    result.unfinished = open.size() + (count - next);
    for (const Slot& s : open)
        ::close(s.fd);
    return result;
}

int OpenFileDescriptors()
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int n = 0;
    while (const dirent* entry = ::readdir(dir))
        n += entry->d_name[0] != '.';
    ::closedir(dir);
    return n - 1; // the directory's own descriptor
}

bool RaiseFileLimit(std::size_t n)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur >= n)
        return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < n)
        return false;
    limit.rlim_cur = n;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}
