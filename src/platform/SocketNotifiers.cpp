#include "platform/SocketNotifiers.h"

#include "platform/AsyncSocket.h"

#include "platform/EpollSet.h"
#include "platform/NameResolver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace {

// Accept events delivered at most per readiness of a listening socket.
constexpr int kAcceptsPerEvent = 32;

// A lookup that found no IPv4 address.
constexpr int kHostNotFound = EHOSTUNREACH;

} // namespace

CSocketNotifiers::CSocketNotifiers(CAsyncSocket* socket)
    : m_pSocket(socket)
    , m_pLife(std::make_shared<Life>(Life{socket}))
{
}

CSocketNotifiers::~CSocketNotifiers()
{
    m_pLife->socket = nullptr;
    Detach();
}

template <class F>
bool CSocketNotifiers::Dispatch(F&& handler)
{
    std::shared_ptr<Life> life = m_pLife;
    handler(*m_pSocket);
    return life->socket != nullptr;
}

void CSocketNotifiers::Attach(int fd, bool connected)
{
    Detach();
    m_bConnected = connected;
    m_fd = fd;
    Update();
}

void CSocketNotifiers::OnEvents(bool readable, bool writable)
{
    // A handler may delete the socket, and this with it.
    std::shared_ptr<Life> life = m_pLife;
    if (readable && m_bReadArmed)
        OnReadable();
    if (life->socket && writable && m_bWriteArmed)
        OnWritable();
}

void CSocketNotifiers::Detach()
{
    ReleaseLookup();
    if (m_fd >= 0)
        CEpollSet::Instance().Forget(m_fd);
    m_fd = -1;
    m_bReadArmed = false;
    m_bWriteArmed = false;
    m_bListening = false;
    m_bConnected = false;
    m_bConnecting = false;
    m_bAwaitConnect = false;
    m_bWantWrite = false;
    m_bReadDone = false;
    m_bEndSeen = false;
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
    const bool write = m_bAwaitConnect
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
    if (port < 0 || port > 65535 || host.empty() || host.find('\0') != std::string::npos) {
        s.m_nLastError = EINVAL;
        return false;
    }
    if (m_bConnecting || m_bConnected || m_bListening) {
        s.m_nLastError = m_bConnecting ? EALREADY : EISCONN;
        return false;
    }
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) == 1)
        return ConnectAddress(address.s_addr, port);

    // A name: resolve it off the thread; the result comes back on this one.
    m_bConnecting = true;
    m_bLookupPending = true;
    const int serial = ++m_nLookupSerial;
    std::shared_ptr<Life> life = m_pLife;
    m_nLookupId = CNameResolver::Instance().Lookup(
        host, [life, serial, port](bool found, unsigned int address) {
            if (life->socket)
                life->socket->m_pNotifiers->OnLookupDone(serial, address, found, port);
        });
    if (!m_nLookupId) { // the resolver could not start: the caller answers at once
        m_bConnecting = false;
        m_bLookupPending = false;
        s.m_nLastError = EAGAIN;
        return false;
    }
    s.m_nLastError = WSAEWOULDBLOCK;
    return false;
}

bool CSocketNotifiers::ConnectAddress(unsigned int addressNetOrder, int port)
{
    CAsyncSocket& s = *m_pSocket;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = addressNetOrder;
    int rc;
    do {
        rc = ::connect(s.m_hSocket, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0 && errno != EINPROGRESS) {
        s.m_nLastError = errno;
        m_bConnecting = false;
        return false;
    }
    // Even a connect that finished at once is reported through OnConnect, as Winsock does.
    m_bConnecting = true;
    m_bAwaitConnect = true;
    Update();
    s.m_nLastError = WSAEWOULDBLOCK;
    return false;
}

void CSocketNotifiers::OnLookupDone(int serial, unsigned int addressNetOrder, bool found, int port)
{
    if (serial != m_nLookupSerial || !m_bLookupPending)
        return;
    m_bLookupPending = false;
    m_nLookupId = 0;

    int error = 0;
    if (!found)
        error = kHostNotFound;
    else if (!ConnectAddress(addressNetOrder, port) && m_pSocket->m_nLastError != WSAEWOULDBLOCK)
        error = m_pSocket->m_nLastError;
    if (error == 0)
        return; // the connect goes on; the write notifier reports it

    m_bConnecting = false;
    m_bReadDone = true;
    m_pSocket->m_nLastError = error;
    Update();
    if (m_pSocket->m_lEvents & CAsyncSocket::FD_CONNECT)
        Dispatch([error](CAsyncSocket& s) { s.OnConnect(error); });
}

void CSocketNotifiers::OnReadable()
{
    CAsyncSocket& s = *m_pSocket;
    if (m_bListening) {
        // A burst of connections is taken in one go, so a short backlog does not overflow
        // while the loop serves other sockets; each accept is still its own OnAccept.
        for (int i = 0; i < kAcceptsPerEvent; ++i) {
            if (!Dispatch([](CAsyncSocket& sock) { sock.OnAccept(0); }))
                return;
            pollfd pending{s.m_hSocket, POLLIN, 0};
            if (s.m_hSocket < 0 || !m_bListening || !(s.m_lEvents & CAsyncSocket::FD_ACCEPT)
                || ::poll(&pending, 1, 0) <= 0)
                return;
        }
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

void CSocketNotifiers::OnWritable()
{
    CAsyncSocket& s = *m_pSocket;
    if (m_bAwaitConnect) {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(s.m_hSocket, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
            error = errno;
        m_bAwaitConnect = false;
        m_bConnecting = false;
        if (error == 0)
            m_bConnected = true;
        else
            m_bReadDone = true;
        Update();
        if (s.m_lEvents & CAsyncSocket::FD_CONNECT)
            Dispatch([error](CAsyncSocket& sock) { sock.OnConnect(error); });
        return;
    }
    m_bWantWrite = false;
    Update();
    Dispatch([](CAsyncSocket& sock) { sock.OnSend(0); });
}
