#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/NameResolver.h"

class CAsyncSocket;
class QSocketNotifier;

// The event plumbing of one CAsyncSocket: its read and write interest in the layer's one epoll
// set (CEpollSet) on the Qt event loop, the pending name lookup and connect, and the liveness guard that keeps a deleted socket from
// ever being called back. Owned by the socket; lives only as long as it does.
class CSocketNotifiers {
public:
    explicit CSocketNotifiers(CAsyncSocket* socket);
    ~CSocketNotifiers();

    CSocketNotifiers(const CSocketNotifiers&) = delete;
    CSocketNotifiers& operator=(const CSocketNotifiers&) = delete;

    // The socket got a new descriptor (made, or accepted into it).
    void Attach(int fd, bool connected);
    // Stop watching the descriptor and forget every pending event; closing: it is closed next,
    // which takes it out of the epoll set without a call of its own.
    void Detach(bool closing = false);

    void SetListening() { m_bListening = true; Update(); }
    // Starts a connect to a dotted address or a name; the socket's last error tells the
    // outcome as Connect reports it.
    bool Connect(const std::string& host, int port);
    // A send would have blocked (or took fewer bytes): deliver OnSend once it can take more.
    void WantWrite() { m_bWantWrite = true; Update(); }
    // OnSend is on its way: a send was short or would block, and writability is watched.
    bool AwaitsWritable() const { return m_bWantWrite && m_bWriteArmed; }
    // Recomputes which notifiers are enabled from the event mask and the socket's state.
    void Update();
    // A receive of the socket came back: with data, at the end of the stream (0) or failed for
    // good (an error other than would-block). Tells the next readiness what the read found.
    void NoteReceive(bool ended, int error)
    {
        ++m_nReceives;
        if (ended && !m_bEndSeen) {
            m_bEndSeen = true;
            m_nEndError = error;
        }
    }
    // A plain receive took `taken` of `asked` bytes. The peer's end comes in order behind all
    // its data, so once it has been seen, a receive that emptied the queue reached the end.
    void NoteTaken(int taken, int asked)
    {
        if (m_bPeerEnded && taken < asked)
            NoteReceive(true, 0);
    }
    // The end of the stream was read or is known to be next: a receive would only return 0.
    bool AtEnd() const { return m_bEndSeen && m_nEndError == 0; }

    // The epoll set found the descriptor ready (errors and hang-ups count as both; failed:
    // there was an error or hang-up).
    // peerEnded: the peer has sent its end (every byte before it is in the queue already).
    void OnEvents(bool readable, bool writable, bool failed = false, bool peerEnded = false);
    // Data is known to wait: the readiness is delivered from CEpollSet::Due, in this pass.
    void ReceiveDue();
    // The outcome of a connect that finished inside its call, or a read known to be due
    // (CEpollSet::Due), comes now.
    void OnDue();

private:
    struct Life {
        CAsyncSocket* socket;
    };

    // A connect started on the socket's own descriptor or on a descriptor of its own, racing
    // until one of them answers.
    struct Attempt {
        int fd = -1;
        QSocketNotifier* notifier = nullptr;
    };

    // Starts the next address's attempt, skipping those that fail at once. False when none is
    // under way any more (the socket's last error says why).
    bool TryNextAddress();
    bool ConnectOwn(const CNetAddress& address);
    bool ConnectExtra(const CNetAddress& address);
    void OnStaggerDue(int serial);
    void OnAttemptWritable(int fd);
    // An attempt failed after it started: on to the next address, or report the failure.
    void AttemptFailed(int error);
    void ConnectFinished(int error);
    void ReleaseAttempts();
    bool AttemptsUnderWay() const { return m_bAwaitConnect || !m_Attempts.empty(); }
    void OnLookupDone(int serial, const std::vector<CNetAddress>& addresses, bool found);
    void OnReadable();
    void OnWritable(bool failed);
    void ReleaseLookup();

    // Runs one handler of the socket; returns false when the socket was deleted meanwhile.
    template <class F>
    bool Dispatch(F&& handler);
    // Runs steps that may delete the socket; returns false when they did.
    template <class F>
    bool Guarded(F&& steps);
    // The token that callbacks made now hold to find the socket later, or not at all.
    const std::shared_ptr<Life>& LifeToken();

    CAsyncSocket* m_pSocket;
    std::shared_ptr<Life> m_pLife; // made when a callback first needs it
    bool* m_pDeleted = nullptr;    // set at deletion: the innermost Guarded call running
    int m_fd = -1;               // the descriptor watched, -1 when none
    bool m_bReadArmed = false;   // what Update last asked the epoll set for
    bool m_bWriteArmed = false;
    int m_nLookupSerial = 0;
    std::vector<CNetAddress> m_Addresses; // what the connect tries, in order
    std::size_t m_nNextAddress = 0;
    int m_nPort = 0;
    int m_nAttemptError = 0;              // the last failure of an attempt
    int m_nStaggerSerial = 0;             // tells a stale 250 ms timer from the current one
    std::vector<Attempt> m_Attempts;      // attempts on descriptors of their own
    unsigned long m_nLookupId = 0; // the resolver's id of the pending lookup
    bool m_bLookupPending = false;
    bool m_bListening = false;
    bool m_bConnected = false;  // a stream whose connect has finished (or accepted)
    bool m_bConnecting = false; // connect or lookup in progress
    bool m_bAwaitConnect = false; // connect() issued, completion not yet seen
    bool m_bWantWrite = false;
    bool m_bConnectDue = false; // the connect finished inside its call: its outcome is due
    int m_nConnectDueError = 0; // that outcome: 0 connected, else the error
    bool m_bReceiveDue = false; // data waits: readiness is delivered without the set's word
    bool m_bReadDone = false;   // end of stream or error already reported
    bool m_bEndSeen = false;    // a receive found the end or a failure (not yet reported)
    bool m_bPeerEnded = false;  // the set reported the peer's end (EPOLLRDHUP)
    int m_nEndError = 0;        // what it found: 0 for the end of the stream
    unsigned m_nReceives = 0;   // receives made, to tell whether a handler read at all
};
