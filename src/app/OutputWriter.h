#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

class QSocketNotifier;

// Writes whole lines to a descriptor (stdout, stderr) without ever blocking the event loop.
// What the reader does not take at once waits in a bounded buffer and goes out when the
// descriptor can take more. A line that does not fit is dropped and counted; once the buffer
// has drained, one line says how many were dropped. Lines keep their order.
class COutputWriter {
public:
    static constexpr std::size_t kDefaultLimit = 1 << 20;

    explicit COutputWriter(int fd, std::size_t limit = kDefaultLimit);
    ~COutputWriter(); // gives the descriptor its blocking mode back

    COutputWriter(const COutputWriter&) = delete;
    COutputWriter& operator=(const COutputWriter&) = delete;

    // text holds one or more whole lines.
    void Write(std::string_view text);
    // At the end of the run: waits at most timeoutMs for what is held to go out.
    void Drain(int timeoutMs);

    std::size_t Held() const { return m_Buffer.size() - m_nSent; }
    unsigned long long Dropped() const { return m_nDroppedTotal; }

private:
    // Writes what it can now; true when nothing is held any more.
    bool WriteHeld();
    void OnWritable();
    void NoteDrops();

    int m_fd;
    int m_nOldFlags = -1;
    std::size_t m_nLimit;
    std::string m_Buffer;
    std::size_t m_nSent = 0; // bytes at the front of m_Buffer already written
    unsigned long long m_nDropped = 0;      // since the last note
    unsigned long long m_nDroppedTotal = 0;
    bool m_bBroken = false; // the reader has gone: nothing is held any more
    std::unique_ptr<QSocketNotifier> m_pNotifier;
};
