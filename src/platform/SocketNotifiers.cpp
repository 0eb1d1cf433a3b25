#include "platform/SocketNotifiers.h"

#include "platform/AsyncSocket.h"

#include "platform/EpollSet.h"
#include "platform/HostText.h"
#include "platform/NameResolver.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <unistd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace {

// A lookup that found no address.
constexpr int kHostNotFound = EHOSTUNREACH;

// How long an address may take to answer before the next one is tried alongside.
constexpr int kNextAddressDelayMs = 250;

} // namespace

CSocketNotifiers::CSocketNotifiers(CAsyncSocket* socket)
    : m_pSocket(socket)
{
}

CSocketNotifiers::~CSocketNotifiers()
{
    if (m_pLife)
        m_pLife->socket = nullptr;
    if (m_pDeleted)
        *m_pDeleted = true; // the innermost call running tells those around it
    Detach();
}

const std::shared_ptr<CSocketNotifiers::Life>& CSocketNotifiers::LifeToken()
{
    // Made only for what may call back later (a lookup, a timer): most sockets never need one.
    if (!m_pLife)
        m_pLife = std::make_shared<Life>(Life{m_pSocket});
    return m_pLife;
}

template <class F>
bool CSocketNotifiers::Guarded(F&& steps)
{
    bool deleted = false;
    bool* const outer = m_pDeleted;
    m_pDeleted = &deleted;
    steps();
    if (deleted) {
        if (outer)
            *outer = true; // this object is gone: touch nothing of it
        return false;
    }
    m_pDeleted = outer;
    return true;
}

template <class F>
bool CSocketNotifiers::Dispatch(F&& handler)
{
    return Guarded([this, &handler] { handler(*m_pSocket); });
}

void CSocketNotifiers::Attach(int fd, bool connected)
{
    Detach();
    m_bConnected = connected;
    m_fd = fd;
    Update();
}

void CSocketNotifiers::ReceiveDue()
{
    CEpollSet& set = CEpollSet::Instance();
    if (m_fd < 0 || !m_bConnected || m_bReceiveDue || !set.CanDeliverDue())
        return;
    m_bReceiveDue = true;
    set.Due(m_fd, this);
}

void CSocketNotifiers::OnDue()
{
    if (m_bReceiveDue) {
        m_bReceiveDue = false;
        // As the set would report it: only while reading is wanted. A handler may delete the
        // socket, and this with it.
        if (m_bReadArmed && !Guarded([this] { OnReadable(); }))
            return;
    }
    if (!m_bConnectDue)
        return;
    m_bConnectDue = false;
    if (!m_bAwaitConnect)
        return;
    m_bAwaitConnect = false;
    // Either may delete the socket: the last step.
    if (m_nConnectDueError != 0)
        AttemptFailed(m_nConnectDueError);
    else
        ConnectFinished(0);
}

void CSocketNotifiers::OnEvents(bool readable, bool writable, bool failed, bool peerEnded)
{
    if (peerEnded && m_bConnected)
        m_bPeerEnded = true;
    // A handler may delete the socket, and this with it.
    if (readable && m_bReadArmed && !Guarded([this] { OnReadable(); }))
        return;
    if (writable && m_bWriteArmed)
        OnWritable(failed);
}

void CSocketNotifiers::Detach(bool closing)
{
    ReleaseLookup();
    ReleaseAttempts();
    if (m_fd >= 0)
        CEpollSet::Instance().Forget(m_fd, closing);
    m_fd = -1;
    m_bReadArmed = false;
    m_bWriteArmed = false;
    m_bListening = false;
    m_bConnected = false;
    m_bConnecting = false;
    m_bAwaitConnect = false;
    m_bWantWrite = false;
    m_bConnectDue = false;
    m_nConnectDueError = 0;
    m_bReceiveDue = false;
    m_bReadDone = false;
    m_bEndSeen = false;
    m_bPeerEnded = false;
    m_nEndError = 0;
}

void CSocketNotifiers::ReleaseLookup()
{
    // The asker has gone: the resolver forgets the lookup (the serial guards a late answer).
    if (m_bLookupPending && m_nLookupId)
        CNameResolver::Instance().Cancel(m_nLookupId);
    m_nLookupId = 0;
    m_bLookupPending = false;
    ++m_nLookupSerial;
}

void CSocketNotifiers::Update()
{
    if (m_fd < 0)
        return;
    const long events = m_pSocket->m_lEvents;
    bool read = false;
    if (m_bListening)
        read = (events & CAsyncSocket::FD_ACCEPT) != 0;
    else if (m_bConnected && !m_bReadDone)
        read = (events & CAsyncSocket::FD_READ) != 0;
    const bool write = (m_bAwaitConnect && !m_bConnectDue)
        || (m_bConnected && m_bWantWrite && (events & CAsyncSocket::FD_WRITE));
    if (read != m_bReadArmed || write != m_bWriteArmed) {
        m_bReadArmed = read;
        m_bWriteArmed = write;
        CEpollSet::Instance().Watch(m_fd, this, read, write);
    }
}

bool CSocketNotifiers::Connect(const std::string& host, int port)
{
    CAsyncSocket& s = *m_pSocket;
    // An address as text is read once; it is connectable as it stands.
    CNetAddress literal;
    if (inet_pton(AF_INET, host.c_str(), literal.bytes.data()) == 1)
        literal.family = AF_INET;
    else if (host.find(':') != std::string::npos
             && inet_pton(AF_INET6, host.c_str(), literal.bytes.data()) == 1)
        literal.family = AF_INET6;
    if (port < 0 || port > 65535 || (literal.family == 0 && !IsConnectableHost(host))) {
        s.m_nLastError = EINVAL;
        return false;
    }
    if (m_bConnecting || m_bConnected || m_bListening) {
        s.m_nLastError = m_bConnecting ? EALREADY : EISCONN;
        return false;
    }
    m_nPort = port;
    m_nNextAddress = 0;
    m_nAttemptError = 0;
    m_Addresses.clear();
    if (literal.family != 0) {
        // One address, on the socket's own descriptor: no list of addresses to go through.
        m_bConnecting = ConnectOwn(literal);
        s.m_nLastError = m_bConnecting ? WSAEWOULDBLOCK : m_nAttemptError;
        return false;
    }

    // A name: resolve it off the thread; the result comes back on this one.
    m_bConnecting = true;
    m_bLookupPending = true;
    const int serial = ++m_nLookupSerial;
    std::shared_ptr<Life> life = LifeToken();
    m_nLookupId = CNameResolver::Instance().Lookup(
        host, [life, serial](bool found, const std::vector<CNetAddress>& addresses) {
            if (life->socket)
                life->socket->m_pNotifiers->OnLookupDone(serial, addresses, found);
        });
    if (!m_nLookupId) { // the resolver could not start: the caller answers at once
        m_bConnecting = false;
        m_bLookupPending = false;
        // Not EAGAIN: it is EWOULDBLOCK here, which would make the caller wait for an
        // OnConnect that never comes.
        s.m_nLastError = EHOSTUNREACH;
        return false;
    }
    s.m_nLastError = WSAEWOULDBLOCK;
    return false;
}

namespace {

// The address as the system takes it on a socket of the given family (IPv4 on an IPv6 socket
// as a mapped address); 0 when that socket cannot reach it.
socklen_t SocketAddress(const CNetAddress& address, int port, int socketFamily, sockaddr_storage& to)
{
    to = sockaddr_storage{};
    const auto portNet = htons(static_cast<std::uint16_t>(port));
    if (socketFamily == AF_INET) {
        if (address.family != AF_INET)
            return 0;
        auto* v4 = reinterpret_cast<sockaddr_in*>(&to);
        v4->sin_family = AF_INET;
        v4->sin_port = portNet;
        std::memcpy(&v4->sin_addr, address.bytes.data(), 4);
        return sizeof *v4;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&to);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = portNet;
    if (address.family == AF_INET6) {
        std::memcpy(&v6->sin6_addr, address.bytes.data(), 16);
    } else {
        v6->sin6_addr.s6_addr[10] = 0xff;
        v6->sin6_addr.s6_addr[11] = 0xff;
        std::memcpy(&v6->sin6_addr.s6_addr[12], address.bytes.data(), 4);
    }
    return sizeof *v6;
}

int ConnectTo(int fd, const sockaddr_storage& to, socklen_t length)
{
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), length);
    } while (rc < 0 && errno == EINTR);
    return rc < 0 && errno != EINPROGRESS ? errno : 0;
}

// A loopback peer answers the handshake inside the connect call itself; a remote one never does,
// so only a loopback connect is asked about again at once.
bool IsLoopback(const CNetAddress& address)
{
    static constexpr std::array<unsigned char, 16> kIpv6Loopback{0, 0, 0, 0, 0, 0, 0, 0,
                                                                 0, 0, 0, 0, 0, 0, 0, 1};
    return address.family == AF_INET ? address.bytes[0] == 127
                                     : address.family == AF_INET6 && address.bytes == kIpv6Loopback;
}

// A connect under way asked again: on loopback the handshake has mostly finished within the
// first call, and the answer saves arming and waiting for writability. 0: connected;
// -1: still going (the usual wait follows); else the error it failed with, which the kernel
// hands out once (a later SO_ERROR would read 0).
int ConnectOutcome(int fd, const sockaddr_storage& to, socklen_t length)
{
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), length);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0 || errno == EISCONN)
        return 0;
    return errno == EALREADY || errno == EINPROGRESS ? -1 : errno;
}

} // namespace

bool CSocketNotifiers::TryNextAddress()
{
    CAsyncSocket& s = *m_pSocket;
    while (m_nNextAddress < m_Addresses.size()) {
        const CNetAddress& address = m_Addresses[m_nNextAddress];
        const bool first = m_nNextAddress == 0;
        ++m_nNextAddress;
        if (first ? ConnectOwn(address) : ConnectExtra(address)) {
            m_bConnecting = true;
            if (m_nNextAddress < m_Addresses.size()) {
                // Browsers' pace: the next address gets its turn if this one is slow to answer.
                const int serial = ++m_nStaggerSerial;
                std::weak_ptr<Life> life = LifeToken();
                QTimer::singleShot(kNextAddressDelayMs, QCoreApplication::instance(), [life, serial] {
                    const auto alive = life.lock();
                    if (alive && alive->socket)
                        alive->socket->m_pNotifiers->OnStaggerDue(serial);
                });
            }
            s.m_nLastError = WSAEWOULDBLOCK;
            return true;
        }
    }
    if (AttemptsUnderWay()) {
        s.m_nLastError = WSAEWOULDBLOCK;
        return true;
    }
    m_bConnecting = false;
    s.m_nLastError = m_nAttemptError ? m_nAttemptError : EHOSTUNREACH;
    return false;
}

bool CSocketNotifiers::ConnectOwn(const CNetAddress& address)
{
    CAsyncSocket& s = *m_pSocket;
    sockaddr_storage to;
    const socklen_t length = SocketAddress(address, m_nPort, s.m_nFamily, to);
    const int error = length == 0 ? EAFNOSUPPORT : ConnectTo(s.m_hSocket, to, length);
    if (error != 0) {
        m_nAttemptError = error;
        return false;
    }
    // Even a connect that finished at once is reported through OnConnect, as Winsock does:
    // from the loop, but in this pass when the loop allows it.
    m_bAwaitConnect = true;
    CEpollSet& set = CEpollSet::Instance();
    if (set.CanDeliverDue() && IsLoopback(address)) {
        const int outcome = ConnectOutcome(s.m_hSocket, to, length);
        if (outcome >= 0) {
            m_bConnectDue = true;
            m_nConnectDueError = outcome;
            set.Due(m_fd, this);
            return true;
        }
    }
    Update();
    return true;
}

bool CSocketNotifiers::ConnectExtra(const CNetAddress& address)
{
    const int fd = ::socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_nAttemptError = errno;
        return false;
    }
    // The options set on the socket before the connect hold for every attempt. Failing to
    // copy one is ignored: TCP_NODELAY only saves latency, the attempt works without it.
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    if (::getsockopt(m_pSocket->m_hSocket, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size) == 0 && noDelay)
        (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    sockaddr_storage to;
    const socklen_t length = SocketAddress(address, m_nPort, address.family, to);
    const int error = ConnectTo(fd, to, length);
    if (error != 0) {
        ::close(fd);
        m_nAttemptError = error;
        return false;
    }
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Write);
    std::weak_ptr<Life> life = LifeToken();
    QObject::connect(notifier, &QSocketNotifier::activated, [life, fd] {
        const auto alive = life.lock();
        if (alive && alive->socket)
            alive->socket->m_pNotifiers->OnAttemptWritable(fd);
    });
    m_Attempts.push_back({fd, notifier});
    return true;
}

void CSocketNotifiers::OnStaggerDue(int serial)
{
    if (serial != m_nStaggerSerial || !m_bConnecting || m_bLookupPending)
        return;
    if (!TryNextAddress())
        ConnectFinished(m_pSocket->m_nLastError);
}

namespace {

void DropNotifier(QSocketNotifier* notifier)
{
    // It may be the one whose signal runs now: it goes once the signal is over.
    notifier->setEnabled(false);
    QObject::disconnect(notifier, nullptr, nullptr, nullptr);
    notifier->deleteLater();
}

} // namespace

void CSocketNotifiers::OnAttemptWritable(int fd)
{
    const auto it = std::find_if(m_Attempts.begin(), m_Attempts.end(),
                                 [fd](const Attempt& a) { return a.fd == fd; });
    if (it == m_Attempts.end())
        return;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
        error = errno;
    DropNotifier(it->notifier);
    m_Attempts.erase(it);
    if (error != 0) {
        ::close(fd);
        AttemptFailed(error);
        return;
    }
    // This attempt won: its connection takes the socket's own descriptor number, so the
    // socket's handle stays what its owner knows.
    CAsyncSocket& s = *m_pSocket;
    CEpollSet::Instance().Forget(m_fd);
    m_bReadArmed = false;
    m_bWriteArmed = false;
    m_bAwaitConnect = false;
    const bool moved = ::dup3(fd, s.m_hSocket, O_CLOEXEC) >= 0;
    const int dupError = errno;
    ::close(fd);
    ConnectFinished(moved ? 0 : dupError);
}

void CSocketNotifiers::AttemptFailed(int error)
{
    m_nAttemptError = error;
    ++m_nStaggerSerial; // the next address starts now, not when the timer says
    if (!TryNextAddress())
        ConnectFinished(m_pSocket->m_nLastError);
}

void CSocketNotifiers::ConnectFinished(int error)
{
    CAsyncSocket& s = *m_pSocket;
    ReleaseAttempts();
    m_bAwaitConnect = false;
    m_bConnecting = false;
    if (error == 0)
        m_bConnected = true;
    else
        m_bReadDone = true;
    s.m_nLastError = error;
    Update();
    if (s.m_lEvents & CAsyncSocket::FD_CONNECT)
        Dispatch([error](CAsyncSocket& sock) { sock.OnConnect(error); });
}

void CSocketNotifiers::ReleaseAttempts()
{
    for (const Attempt& attempt : m_Attempts) {
        DropNotifier(attempt.notifier);
        ::close(attempt.fd);
    }
    m_Attempts.clear();
    m_Addresses.clear();
    m_nNextAddress = 0;
    ++m_nStaggerSerial;
}

void CSocketNotifiers::OnLookupDone(int serial, const std::vector<CNetAddress>& addresses, bool found)
{
    if (serial != m_nLookupSerial || !m_bLookupPending)
        return;
    m_bLookupPending = false;
    m_nLookupId = 0;
    if (!found) {
        ConnectFinished(kHostNotFound);
        return;
    }
    if (!Dispatch([](CAsyncSocket& sock) { sock.OnResolved(); }))
        return; // closed by its handler
    if (!m_bConnecting)
        return; // the handler gave the connect up
    m_Addresses = addresses;
    m_nNextAddress = 0;
    m_nAttemptError = 0;
    if (!TryNextAddress())
        ConnectFinished(m_pSocket->m_nLastError);
}

void CSocketNotifiers::OnReadable()
{
    CAsyncSocket& s = *m_pSocket;
    if (m_bListening) {
        // One accept per readiness: the set is level-triggered, so further waiting connections
        // wake the next wait, which the loop makes anyway, and no call is spent looking for
        // them now. The listener's backlog holds a burst meanwhile.
        Dispatch([](CAsyncSocket& sock) { sock.OnAccept(0); });
        return;
    }
    if (!m_bConnected || m_bReadDone)
        return;

    int error = 0;
    if (m_bEndSeen) {
        error = m_nEndError; // a receive outside the handlers found the end already
    } else {
        // Readiness is data, the end of the stream or an error. The handler's own receive
        // tells which, so no extra system call is spent on a peek.
        const unsigned before = m_nReceives;
        if (!Dispatch([](CAsyncSocket& sock) { sock.OnReceive(0); }))
            return;
        if (s.m_hSocket < 0 || m_bReadDone || !m_bConnected)
            return; // closed or ended by the handler
        if (!m_bEndSeen) {
            if (m_nReceives != before)
                return; // it read; level-triggered readiness brings the rest
            // A handler that did not read: look without taking, as the end must be reported.
            char probe;
            ssize_t n;
            do {
                n = ::recv(s.m_hSocket, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
            } while (n < 0 && errno == EINTR);
            if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)))
                return;
            error = n == 0 ? 0 : errno;
        } else {
            error = m_nEndError;
        }
    }

    // The end is reported once; the write side stays usable after a peer's half-close.
    m_bReadDone = true;
    Update();
    if (s.m_lEvents & CAsyncSocket::FD_CLOSE)
        Dispatch([error](CAsyncSocket& sock) { sock.OnClose(error); });
}

void CSocketNotifiers::OnWritable(bool failed)
{
    CAsyncSocket& s = *m_pSocket;
    if (m_bAwaitConnect) {
        // A connect that failed shows as an error or hang-up; writable alone is a connection.
        int error = 0;
        socklen_t length = sizeof error;
        if (failed && ::getsockopt(s.m_hSocket, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
            error = errno;
        m_bAwaitConnect = false;
        if (error != 0) {
            Update();
            AttemptFailed(error);
        } else {
            ConnectFinished(0);
        }
        return;
    }
    m_bWantWrite = false;
    Update();
    Dispatch([](CAsyncSocket& sock) { sock.OnSend(0); });
}
