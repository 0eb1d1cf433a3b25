#include "platform/AsyncSocket.h"

#include "platform/SocketNotifiers.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Lets the IPv6 socket serve IPv4 too. Where new sockets are dual-stack already (the system's
// usual default), as the first one shows, no call is spent on each later one.
bool MakeDualStack(int fd)
{
    static bool s_bDefaultDualStack = false;
    if (s_bDefaultDualStack)
        return true;
    int v6Only = 1;
    socklen_t length = sizeof v6Only;
    if (::getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, &length) == 0 && v6Only == 0) {
        s_bDefaultDualStack = true;
        return true;
    }
    const int off = 0;
    return ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0;
}

// A first send up to this long leaves in one segment on any path (the smallest MSS a host
// must take), so Nagle has nothing to hold it behind.
constexpr int kUnheldFirstSend = 536;

} // namespace

CAsyncSocket::CAsyncSocket()
    : m_pNotifiers(std::make_unique<CSocketNotifiers>(this))
{
}

CAsyncSocket::~CAsyncSocket()
{
    Close();
}

bool CAsyncSocket::Socket(long events)
{
    if (m_hSocket >= 0) {
        m_nLastError = EISCONN;
        return false;
    }
    // One IPv6 socket serves IPv4 peers too (as mapped addresses); a system without IPv6
    // gets a plain IPv4 socket.
    int family = AF_INET6;
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0 && !MakeDualStack(fd)) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        family = AF_INET;
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    return Adopt(fd, family, events);
}

bool CAsyncSocket::Adopt(int fd, int family, long events)
{
    if (fd < 0) {
        m_nLastError = errno;
        return false;
    }
    m_hSocket = fd;
    m_nFamily = family;
    m_lEvents = events;
    m_pNotifiers->Attach(fd, false);
    return true;
}

bool CAsyncSocket::SocketOf(int family, long events)
{
    if (m_hSocket >= 0) {
        m_nLastError = EISCONN;
        return false;
    }
    if (family != AF_INET && family != AF_INET6) {
        m_nLastError = EAFNOSUPPORT;
        return false;
    }
    int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd >= 0 && family == AF_INET6
        && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) < 0) {
        const int error = errno;
        ::close(fd);
        fd = -1;
        errno = error;
    }
    return Adopt(fd, family, events);
}

bool CAsyncSocket::SocketFor(const std::string& host, long events)
{
    // Digits and three dots: the connect reads the address itself (and refuses a bad one), so
    // a look at the characters is enough to choose the family.
    int dots = 0;
    for (const char c : host) {
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return Socket(events);
    }
    return dots == 3 ? SocketOf(AF_INET, events) : Socket(events);
}

bool CAsyncSocket::Bind(int port)
{
    if (m_hSocket < 0) {
        m_nLastError = ENOTSOCK;
        return false;
    }
    if (port < 0 || port > 65535) {
        m_nLastError = EINVAL;
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    sockaddr_in6 local6{};
    local6.sin6_family = AF_INET6;
    local6.sin6_port = local.sin_port;
    local6.sin6_addr = in6addr_any;
    const bool v6 = m_nFamily == AF_INET6;
    const sockaddr* address = v6 ? reinterpret_cast<const sockaddr*>(&local6)
                                 : reinterpret_cast<const sockaddr*>(&local);
    if (::bind(m_hSocket, address, v6 ? sizeof local6 : sizeof local) < 0) {
        m_nLastError = errno;
        return false;
    }
    return true;
}

bool CAsyncSocket::Create(int port, long events)
{
    if (!Socket(events))
        return false;
    if (!Bind(port)) {
        const int error = m_nLastError;
        Close();
        m_nLastError = error;
        return false;
    }
    return true;
}

bool CAsyncSocket::SetSockOpt(int option, const void* value, int length, int level)
{
    if (m_hSocket < 0) {
        m_nLastError = ENOTSOCK;
        return false;
    }
    if (length < 0 || ::setsockopt(m_hSocket, level, option, value,
                                   static_cast<socklen_t>(length)) < 0) {
        m_nLastError = length < 0 ? EINVAL : errno;
        return false;
    }
    return true;
}

bool CAsyncSocket::GetSockOpt(int option, void* value, int* length, int level) const
{
    if (m_hSocket < 0 || !length || *length < 0)
        return false;
    auto size = static_cast<socklen_t>(*length);
    if (::getsockopt(m_hSocket, level, option, value, &size) < 0)
        return false;
    *length = static_cast<int>(size);
    return true;
}

bool CAsyncSocket::Listen(int backlog)
{
    if (m_hSocket < 0) {
        m_nLastError = ENOTSOCK;
        return false;
    }
    if (::listen(m_hSocket, backlog) < 0) {
        m_nLastError = errno;
        return false;
    }
    m_pNotifiers->SetListening();
    return true;
}

bool CAsyncSocket::Accept(CAsyncSocket& connected)
{
    if (m_hSocket < 0 || connected.m_hSocket >= 0 || &connected == this) {
        m_nLastError = EINVAL;
        return false;
    }
    int fd;
    do {
        fd = ::accept4(m_hSocket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        m_nLastError = (errno == EAGAIN || errno == EWOULDBLOCK) ? WSAEWOULDBLOCK : errno;
        return false;
    }
    // Like Winsock, the new socket starts with the listener's event selection.
    connected.m_hSocket = fd;
    connected.m_nFamily = m_nFamily;
    connected.m_lEvents = m_lEvents;
    connected.m_tLastActivity = std::chrono::steady_clock::now();
    connected.m_pNotifiers->Attach(fd, true);
    return true;
}

void CAsyncSocket::ReceiveDue()
{
    if (m_hSocket >= 0)
        m_pNotifiers->ReceiveDue();
}

bool CAsyncSocket::Connect(const std::string& host, int port)
{
    if (m_hSocket < 0) {
        m_nLastError = ENOTSOCK;
        return false;
    }
    return m_pNotifiers->Connect(host, port);
}

bool CAsyncSocket::CheckTransfer(const void* data, int length)
{
    if (m_hSocket < 0) {
        m_nLastError = ENOTSOCK;
        return false;
    }
    if (length < 0 || (length > 0 && !data)) {
        m_nLastError = EINVAL;
        return false;
    }
    return true;
}

int CAsyncSocket::EndReceive(ssize_t n, int length)
{
    if (n < 0) {
        const bool wouldBlock = errno == EAGAIN || errno == EWOULDBLOCK;
        m_nLastError = wouldBlock ? WSAEWOULDBLOCK : errno;
        m_pNotifiers->NoteReceive(!wouldBlock, m_nLastError);
        return -1;
    }
    if (n > 0)
        m_tLastActivity = std::chrono::steady_clock::now();
    m_pNotifiers->NoteReceive(n == 0 && length > 0, 0);
    return static_cast<int>(n);
}

int CAsyncSocket::EndSend(ssize_t n, int length)
{
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            m_nLastError = WSAEWOULDBLOCK;
            m_pNotifiers->WantWrite();
        } else {
            m_nLastError = errno;
        }
        return -1;
    }
    if (n > 0) {
        m_tLastActivity = std::chrono::steady_clock::now();
        m_bSentBefore = true;
    }
    // A short send means the socket's buffer is full: the rest waits for OnSend.
    if (n < length)
        m_pNotifiers->WantWrite();
    return static_cast<int>(n);
}

void CAsyncSocket::BeforeSend(int length)
{
    if (m_bSentBefore || length > kUnheldFirstSend) {
        m_bNoDelayDue = false;
        const int on = 1;
        // Failing costs latency only: the bytes go all the same.
        (void)::setsockopt(m_hSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
}

int CAsyncSocket::Send(const void* data, int length)
{
    if (!CheckTransfer(data, length))
        return -1;
    if (length == 0)
        return 0;
    if (m_bNoDelayDue)
        BeforeSend(length);
    ssize_t n;
    do {
        n = ::send(m_hSocket, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return EndSend(n, length);
}

int CAsyncSocket::Receive(void* data, int length)
{
    if (!CheckTransfer(data, length))
        return -1;
    if (m_pNotifiers->AtEnd() && length > 0)
        return EndReceive(0, length); // nothing can follow the end: no call to be told so
    ssize_t n;
    do {
        n = ::recv(m_hSocket, data, static_cast<size_t>(length), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    const int taken = EndReceive(n, length);
    if (taken > 0)
        m_pNotifiers->NoteTaken(taken, length);
    return taken;
}

int CAsyncSocket::SpliceReceive(int pipeIn, int length)
{
    if (!CheckTransfer(&pipeIn, length))
        return -1;
    ssize_t n;
    do {
        n = ::splice(m_hSocket, nullptr, pipeIn, nullptr, static_cast<size_t>(length),
                     SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    } while (n < 0 && errno == EINTR);
    return EndReceive(n, length);
}

int CAsyncSocket::SpliceSend(int pipeOut, int length)
{
    if (!CheckTransfer(&pipeOut, length))
        return -1;
    if (length == 0)
        return 0;
    if (m_bNoDelayDue)
        BeforeSend(length);
    ssize_t n;
    do {
        n = ::splice(pipeOut, nullptr, m_hSocket, nullptr, static_cast<size_t>(length),
                     SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    } while (n < 0 && errno == EINTR);
    return EndSend(n, length);
}

bool CAsyncSocket::ShutDown(int how)
{
    if (m_hSocket < 0) {
        m_nLastError = ENOTSOCK;
        return false;
    }
    const int mode = how == receives ? SHUT_RD : how == sends ? SHUT_WR : SHUT_RDWR;
    if (::shutdown(m_hSocket, mode) < 0) {
        m_nLastError = errno;
        return false;
    }
    return true;
}

void CAsyncSocket::Close()
{
    if (m_hSocket < 0)
        return;
    m_pNotifiers->Detach(true); // before the descriptor goes: nothing may watch a closed number
    ::close(m_hSocket);
    m_hSocket = -1;
    m_bNoDelayDue = false;
    m_bSentBefore = false;
}

bool CAsyncSocket::AsyncSelect(long events)
{
    if (m_hSocket < 0) {
        m_nLastError = ENOTSOCK;
        return false;
    }
    m_lEvents = events;
    m_pNotifiers->Update();
    return true;
}

bool CAsyncSocket::AwaitsWritable() const
{
    return m_hSocket >= 0 && m_pNotifiers->AwaitsWritable();
}

int CAsyncSocket::GetLocalPort() const
{
    if (m_hSocket < 0)
        return 0;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&local), &length) < 0)
        return 0;
    if (local.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
}
