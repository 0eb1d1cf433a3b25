#include "support/BlockingStream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

int Remaining(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool WaitFor(int fd, short events, int timeoutMs)
{
    pollfd p{fd, events, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

} // namespace

BlockingStream::~BlockingStream()
{
    Close();
}

BlockingStream::BlockingStream(BlockingStream&& other) noexcept
    : m_fd(other.m_fd)
{
    other.m_fd = -1;
}

BlockingStream& BlockingStream::operator=(BlockingStream&& other) noexcept
{
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

bool BlockingStream::Connect(int port, int timeoutMs)
{
    Close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv); // bounds the connect too
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
        Close();
        return false;
    }
    return true;
}

bool BlockingStream::Write(const std::string& bytes, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        if (!WaitFor(m_fd, POLLOUT, Remaining(deadline)))
            return false;
        const ssize_t n = ::send(m_fd, bytes.data() + offset, bytes.size() - offset,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return false;
        }
        offset += static_cast<std::size_t>(n);
    }
    return true;
}

bool BlockingStream::WaitReadable(int timeoutMs)
{
    return m_fd >= 0 && WaitFor(m_fd, POLLIN, timeoutMs);
}

std::string BlockingStream::ReadSome(std::size_t max, int timeoutMs, bool* ended)
{
    if (ended)
        *ended = false;
    std::string out;
    if (!WaitReadable(timeoutMs))
        return out;
    out.resize(max);
    ssize_t n;
    do {
        n = ::recv(m_fd, out.data(), max, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        if (ended && (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)))
            *ended = true;
        out.clear();
        return out;
    }
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string BlockingStream::ReadUntil(const std::string& needle, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string out;
    while (out.find(needle) == std::string::npos) {
        bool ended = false;
        const std::string chunk = ReadSome(65536, Remaining(deadline), &ended);
        if (chunk.empty() && (ended || Remaining(deadline) == 0))
            break;
        out += chunk;
    }
    return out;
}

std::string BlockingStream::ReadExactly(std::size_t n, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string out;
    while (out.size() < n) {
        bool ended = false;
        const std::string chunk = ReadSome(n - out.size(), Remaining(deadline), &ended);
        if (chunk.empty() && (ended || Remaining(deadline) == 0))
            break;
        out += chunk;
    }
    return out;
}

std::string BlockingStream::ReadToEnd(int timeoutMs, bool* closed)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string out;
    bool ended = false;
    while (!ended) {
        const std::string chunk = ReadSome(65536, Remaining(deadline), &ended);
        if (chunk.empty() && !ended && Remaining(deadline) == 0)
            break;
        out += chunk;
    }
    if (closed)
        *closed = ended;
    return out;
}

void BlockingStream::ShutdownWrite()
{
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_WR);
}

void BlockingStream::SetResetOnClose()
{
    if (m_fd >= 0) {
        linger hard{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
}

void BlockingStream::Close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}
