#pragma once
#include <cstddef>

class CAsyncSocket;

// A pipe that carries one direction of a relayed stream from socket to socket with splice(2):
// the kernel moves the bytes (socket -> pipe -> socket), none is copied through this process.
// The pipe is the only buffer of its direction, so it bounds what is held: a source is read
// only while the pipe has room, and the pipe empties only as fast as the destination takes it.
class CSplicePipe {
public:
    CSplicePipe() = default;
    ~CSplicePipe();
    CSplicePipe(const CSplicePipe&) = delete;
    CSplicePipe& operator=(const CSplicePipe&) = delete;

    // Makes the pipe. False where splicing cannot be used: no descriptors left, or a process
    // that would be killed by a send to a closed peer (splice has no MSG_NOSIGNAL, so SIGPIPE
    // must be ignored, as the program does); the caller then copies as before.
    bool Open();

    // Moves what the socket has received into the pipe, as much as the pipe takes: the count
    // moved, 0 at the socket's end, or -1 (the socket's GetLastError() tells why; would-block
    // when it had nothing, or when the pipe is full).
    int Fill(CAsyncSocket& from);
    // Moves what the pipe holds into the socket: the count moved (0 when empty, or when the
    // socket awaits its OnSend), or -1 with the socket's error (would-block: OnSend follows).
    int Drain(CAsyncSocket& to);

    std::size_t Pending() const { return m_nPending; }
    // The pipe took nothing more while holding bytes, or has little room left while its
    // destination takes nothing: read the source again once it drains.
    bool IsFull() const { return m_bFull; }
    // The last fill took half the pipe or more, so the source may hold more at once; after a
    // smaller one it is most likely empty, and its next readiness says otherwise.
    bool SourceMayHaveMore() const { return m_bMore; }

    // What the pipe holds at most; it grows once a stream fills it.
    std::size_t GetCapacity() const { return m_nCapacity; }

private:
    void Grow();

    int m_fdRead = -1;
    int m_fdWrite = -1;
    std::size_t m_nPending = 0;
    std::size_t m_nCapacity = 0;
    bool m_bFull = false;
    bool m_bGrown = false;
    bool m_bMore = false;
};
