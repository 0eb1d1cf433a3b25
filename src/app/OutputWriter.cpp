#include "app/OutputWriter.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

COutputWriter::COutputWriter(int fd, std::size_t limit)
    : m_fd(fd)
    , m_nLimit(limit)
{
    m_nOldFlags = ::fcntl(fd, F_GETFL);
    // When the descriptor cannot be made non-blocking, writes block instead of being held:
    // slower, nothing lost.
    if (m_nOldFlags >= 0 && !(m_nOldFlags & O_NONBLOCK))
        (void)::fcntl(fd, F_SETFL, m_nOldFlags | O_NONBLOCK);
}

COutputWriter::~COutputWriter()
{
    m_pNotifier.reset();
    // The descriptor is shared with whoever started us (a shell, a terminal).
    if (m_nOldFlags >= 0 && !(m_nOldFlags & O_NONBLOCK))
        (void)::fcntl(m_fd, F_SETFL, m_nOldFlags); // the end of the run: nothing left to do
}

void COutputWriter::Write(std::string_view text)
{
    if (m_bBroken || text.empty())
        return;
    if (Held() + text.size() > m_nLimit) {
        // Whole lines only, so what does get out still reads line by line.
        for (char c : text) {
            m_nDropped += c == '\n';
            m_nDroppedTotal += c == '\n';
        }
        return NoteDrops();
    }
    m_Buffer.append(text);
    WriteHeld();
}

void COutputWriter::NoteDrops()
{
    // Counted now, told once the writer catches up.
    if (!m_pNotifier || !m_pNotifier->isEnabled())
        WriteHeld();
}

bool COutputWriter::WriteHeld()
{
    for (;;) {
        if (Held() == 0 && m_nDropped > 0) {
            m_Buffer = "Kestrune: " + std::to_string(m_nDropped)
                + " output lines dropped (the reader was not keeping up)\n";
            m_nSent = 0;
            m_nDropped = 0;
        }
        if (Held() == 0) {
            m_Buffer.clear();
            m_nSent = 0;
            if (m_pNotifier)
                m_pNotifier->setEnabled(false);
            return true;
        }
        const ssize_t n = ::write(m_fd, m_Buffer.data() + m_nSent, Held());
        if (n > 0) {
            m_nSent += static_cast<std::size_t>(n);
            if (m_nSent > m_nLimit) { // keep the held part at the front now and then
                m_Buffer.erase(0, m_nSent);
                m_nSent = 0;
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!m_pNotifier) {
                m_pNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
                QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated,
                                 [this] { OnWritable(); });
            }
            m_pNotifier->setEnabled(true);
            return false;
        }
        // The reader is gone (or the descriptor is unusable): nothing more can be written.
        m_bBroken = true;
        m_Buffer.clear();
        m_nSent = 0;
        if (m_pNotifier)
            m_pNotifier->setEnabled(false);
        return true;
    }
}

void COutputWriter::OnWritable()
{
    WriteHeld();
}

void COutputWriter::Drain(int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_bBroken && !WriteHeld()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return;
        pollfd out{m_fd, POLLOUT, 0};
        ::poll(&out, 1, static_cast<int>(left));
    }
}
