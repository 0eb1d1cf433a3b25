#pragma once
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>

#include <sys/types.h>

class CSocketNotifiers;

// Error codes as the socket layer reports them (POSIX errno values). The names keep the ones
// the proxy's logic is written in.
inline constexpr int WSAEWOULDBLOCK = EWOULDBLOCK;
inline constexpr int WSAEINPROGRESS = EINPROGRESS;

// The operation cannot go on now and its event follows (OnSend, OnReceive, OnConnect): a
// reason to wait, never a failure. Every caller asks this one test, so all wait alike.
inline bool WouldBlock(int error)
{
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

// An event-driven, non-blocking socket (IPv6 that also serves IPv4, or IPv4 alone on a system
// without IPv6; or one family alone when asked) with the semantics of the Winsock class it stands
// in for. Readiness events are delivered on the one Qt event-loop thread:
//  - OnAccept: a connection waits to be accepted;
//  - OnReceive: data can be read (again after each read while data remains);
//  - OnSend: the socket can take data again, only after a Send would have blocked;
//  - OnConnect: an asynchronous connect finished (0, or the error);
//  - OnClose: the peer closed (0) or the connection failed (the error).
// A handler may delete its own object (or its partner) and must then return at once; the layer
// never delivers an event to a deleted object.
class CAsyncSocket {
public:
    enum : long {
        FD_READ = 0x01,
        FD_WRITE = 0x02,
        FD_OOB = 0x04,
        FD_ACCEPT = 0x08,
        FD_CONNECT = 0x10,
        FD_CLOSE = 0x20,
    };
    static constexpr long kAllEvents = 63;

    CAsyncSocket();
    virtual ~CAsyncSocket(); // closes the socket if open

    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // Makes the socket (stream, non-blocking) and selects events; Create also binds to port on
    // every local IPv6 and IPv4 interface (port 0: the system chooses).
    bool Socket(long events = kAllEvents);
    // The socket for one family alone: AF_INET, or AF_INET6 serving IPv6 peers only (false
    // where the system has no IPv6). A plain IPv4 connection costs the system less than one
    // mapped onto an IPv6 socket.
    bool SocketOf(int family, long events = kAllEvents);
    // The socket to connect to host: IPv4 alone for dotted IPv4 text, else as Socket makes it.
    bool SocketFor(const std::string& host, long events = kAllEvents);
    bool Bind(int port);
    bool Create(int port = 0, long events = kAllEvents);

    bool SetSockOpt(int option, const void* value, int length, int level);
    // length: the room at value in, the option's size out.
    bool GetSockOpt(int option, void* value, int* length, int level) const;
    // TCP_NODELAY, set only when it can matter: before a send that could be held back behind
    // bytes not yet acknowledged (any after the first, or a first one longer than a small
    // segment). A connection whose one request fits a segment then spends no call on it.
    void SetNoDelayWhenNeeded() { m_bNoDelayDue = true; }
    bool Listen(int backlog = 5);
    // Attaches the next waiting connection to the unopened socket `connected`.
    bool Accept(CAsyncSocket& connected);
    // The peer's first bytes are known to be waiting (a listener that hands a connection over
    // only once it has data): OnReceive comes in this pass of the loop, without a wait for the
    // kernel's word. Where the loop cannot run it so, the usual readiness brings it.
    void ReceiveDue();

    // Starts connecting to host (dotted IPv4 text, IPv6 text without brackets, or a name,
    // resolved without blocking the thread) at port. The addresses of a name are tried in the
    // resolver's order: the next when one fails, or when one has not answered within 250 ms
    // (the earlier attempts go on; the first to connect wins). Returns false: with
    // GetLastError() == WSAEWOULDBLOCK the result comes later through OnConnect; any other
    // error failed at once (a port outside 0..65535, a host that is no name and no full
    // address). A name that cannot be resolved, or whose every address failed, reports
    // OnConnect with a non-zero error.
    bool Connect(const std::string& host, int port);

    // May take fewer bytes than offered. Returns the count taken, or -1 (GetLastError() tells
    // why; WSAEWOULDBLOCK when the socket cannot take data now, and OnSend follows later).
    // Virtual so a connection can put a layer (TLS) between its callers and the socket.
    virtual int Send(const void* data, int length);
    // Returns the count read, 0 when the peer has closed, or -1 (WSAEWOULDBLOCK: nothing yet).
    virtual int Receive(void* data, int length);
    // The same two through a pipe (splice(2)): the bytes go between the socket and the pipe
    // without passing through this process. SpliceReceive moves up to length received bytes
    // into the pipe's write end, with Receive's results (a full pipe is would-block as well);
    // SpliceSend moves up to length bytes from the pipe's read end out, with Send's results.
    int SpliceReceive(int pipeIn, int length);
    int SpliceSend(int pipeOut, int length);

    // Ends the sending side (how: 0 receives, 1 sends, 2 both); the socket stays open.
    enum { receives = 0, sends = 1, both = 2 };
    bool ShutDown(int how = sends);

    void Close();
    // Chooses which events are delivered (0: none).
    bool AsyncSelect(long events = kAllEvents);

    int GetLastError() const { return m_nLastError; }
    bool IsOpen() const { return m_hSocket >= 0; }
    int GetSocketHandle() const { return m_hSocket; }
    int GetLocalPort() const;
    // The last send was short or would block and OnSend follows: sending before it finds no
    // room.
    bool AwaitsWritable() const;
    // When a byte last went out or came in (or the socket was accepted).
    std::chrono::steady_clock::time_point LastActivity() const { return m_tLastActivity; }

    virtual void OnAccept(int errorCode) { (void)errorCode; }
    virtual void OnReceive(int errorCode) { (void)errorCode; }
    virtual void OnSend(int errorCode) { (void)errorCode; }
    virtual void OnConnect(int errorCode) { (void)errorCode; }
    virtual void OnClose(int errorCode) { (void)errorCode; }
    // A Connect to a name has its addresses; the connect itself goes on (OnConnect follows).
    virtual void OnResolved() {}

protected:
    // For a layer's own Send and Receive results.
    void SetLastError(int error) { m_nLastError = error; }

private:
    // Takes a new socket as this one's (a negative fd: the error errno holds).
    bool Adopt(int fd, int family, long events);
    // An open socket and a usable buffer; otherwise sets the error and says no.
    bool CheckTransfer(const void* data, int length);
    // What a receive or send of `length` bytes that returned n (errno as it left it) tells:
    // the error kept, readiness asked for again, activity noted; the count or -1.
    int EndReceive(ssize_t n, int length);
    int EndSend(ssize_t n, int length);
    // Sets a deferred TCP_NODELAY before a send of length bytes that Nagle could hold back.
    void BeforeSend(int length);

    friend class CSocketNotifiers;
    int m_hSocket = -1;
    int m_nFamily = 0; // AF_INET6 (serving IPv4 too) or AF_INET
    int m_nLastError = 0;
    long m_lEvents = 0;
    bool m_bNoDelayDue = false; // TCP_NODELAY wanted, not yet set
    bool m_bSentBefore = false; // a send has taken bytes
    std::chrono::steady_clock::time_point m_tLastActivity = std::chrono::steady_clock::now();
    std::unique_ptr<CSocketNotifiers> m_pNotifiers; // the layer's own state (event plumbing)
};
