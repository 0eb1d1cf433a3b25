#include "platform/SplicePipe.h"

#include "platform/AsyncSocket.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <csignal>

namespace {

// What one direction may hold in its pipe once it carries a stream that fills the default
// 64 KiB: larger pipes mean fewer system calls and wake-ups per byte. The copy path holds up to
// 1 MiB per direction too. Pipes start small because the system charges each user's pipes by
// their size, held or not (a soft limit of 64 MiB by default): a browser's many quiet tunnels
// must not use it up.
constexpr int kPipeSizes[] = {1024 * 1024, 256 * 1024};
// The most one fill asks of a socket (its readiness tells of the rest).
constexpr int kMaxMove = 1 << 20;

bool IgnoresSigpipe()
{
    struct sigaction current {};
    return ::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

} // namespace

CSplicePipe::~CSplicePipe()
{
    if (m_fdRead >= 0)
        ::close(m_fdRead);
    if (m_fdWrite >= 0)
        ::close(m_fdWrite);
}

bool CSplicePipe::Open()
{
    if (m_fdRead >= 0)
        return true;
    if (!IgnoresSigpipe())
        return false;
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) < 0)
        return false;
    m_fdRead = fds[0];
    m_fdWrite = fds[1];
    const int size = ::fcntl(m_fdWrite, F_GETPIPE_SZ);
    m_nCapacity = size > 0 ? static_cast<std::size_t>(size) : 0;
    return true;
}

void CSplicePipe::Grow()
{
    m_bGrown = true;
    // Refused above the system's pipe-max-size or past the user's share: a smaller pipe only
    // costs calls.
    for (const int size : kPipeSizes) {
        if (static_cast<std::size_t>(size) <= m_nCapacity)
            return;
        if (const int got = ::fcntl(m_fdWrite, F_SETPIPE_SZ, size); got > 0) {
            m_nCapacity = static_cast<std::size_t>(got);
            return;
        }
    }
}

int CSplicePipe::Fill(CAsyncSocket& from)
{
    const int n = from.SpliceReceive(m_fdWrite, kMaxMove);
    m_bMore = n > 0 && 2 * static_cast<std::size_t>(n) >= m_nCapacity;
    if (n > 0)
        m_nPending += static_cast<std::size_t>(n);
    // With bytes held, would-block may mean a pipe without free slots: wait for it to drain.
    else if (n < 0 && m_nPending > 0 && WouldBlock(from.GetLastError()))
        m_bFull = true;
    // A stream rather than a few small messages (one move took half the pipe, whose slots
    // fill before its bytes do): the pipe grows and takes more next time.
    if (!m_bGrown && (m_bFull || 2 * m_nPending >= m_nCapacity))
        Grow();
    return n;
}

int CSplicePipe::Drain(CAsyncSocket& to)
{
    if (m_nPending == 0)
        return 0;
    if (to.AwaitsWritable()) {
        // Its OnSend drains the pipe. Meanwhile a pipe with little room left counts as full:
        // another fill would take little or nothing, at the cost of a wake and a call.
        m_bFull = m_bFull || m_nPending + m_nCapacity / 8 >= m_nCapacity;
        return 0;
    }
    // Everything held, in one call: the kernel moves until the pipe is empty or the socket is
    // full (then OnSend follows). A share of it would leave the rest with nothing to move it,
    // and the pipe's slots may hold more than a page each, so no fixed share is "all".
    const int max = m_nPending < static_cast<std::size_t>(INT_MAX) ? static_cast<int>(m_nPending)
                                                                   : INT_MAX;
    const int n = to.SpliceSend(m_fdRead, max);
    if (n > 0) {
        m_nPending -= static_cast<std::size_t>(n);
        m_bFull = false;
    }
    return n;
}
