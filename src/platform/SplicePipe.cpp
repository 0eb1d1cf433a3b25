#include "platform/SplicePipe.h"

#include "platform/AsyncSocket.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

namespace {

// What one direction may hold in its pipe, when the system allows a pipe that large (else the
// default 64 KiB). Larger pipes mean fewer system calls per byte; the copy path holds up to
// 1 MiB per direction.
constexpr int kPipeBytes = 256 * 1024;
// The most one splice asks for: a pipe holds at most its slots' worth anyway.
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
    (void)::fcntl(m_fdWrite, F_SETPIPE_SZ, kPipeBytes); // a smaller pipe only costs calls
    return true;
}

int CSplicePipe::Fill(CAsyncSocket& from)
{
    const int n = from.SpliceReceive(m_fdWrite, kMaxMove);
    if (n > 0)
        m_nPending += static_cast<std::size_t>(n);
    // With bytes held, would-block may mean a pipe without free slots: wait for it to drain.
    else if (n < 0 && m_nPending > 0 && WouldBlock(from.GetLastError()))
        m_bFull = true;
    return n;
}

int CSplicePipe::Drain(CAsyncSocket& to)
{
    if (m_nPending == 0)
        return 0;
    const int max = m_nPending < static_cast<std::size_t>(kMaxMove) ? static_cast<int>(m_nPending)
                                                                    : kMaxMove;
    const int n = to.SpliceSend(m_fdRead, max);
    if (n > 0) {
        m_nPending -= static_cast<std::size_t>(n);
        m_bFull = false;
    }
    return n;
}
