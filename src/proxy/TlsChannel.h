#pragma once
#include <cerrno>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class CAsyncSocket;
class CTlsSession;
class CTraceStore;

// A TLS session laid over one connected socket: the owner reads and sends plaintext with the
// socket's own results (a count, 0 at the peer's end, -1 with an error such as WSAEWOULDBLOCK),
// and the channel moves the ciphertext. At most kMaxPlaintextPerSend bytes are taken per send,
// and none while ciphertext still waits for the socket, so what the channel holds stays small.
class CTlsChannel {
public:
    static constexpr std::size_t kMaxPlaintextPerSend = 65536;
    // The error a read or send reports once the session has failed.
    static constexpr int kTlsFailed = ECONNABORTED;

    CTlsChannel(CAsyncSocket& socket, std::unique_ptr<CTlsSession> session);
    ~CTlsChannel();

    int Receive(char* data, int length, int& error);
    int Send(const char* data, int length, int& error);
    // Ciphertext read before the channel existed (the browser's first TLS record).
    void Put(const std::string& ciphertext);
    // As Put, but the session works on the bytes only at Start(), and the socket is not read
    // until then: the origin's handshake, whose connect is due in this turn of the loop, goes
    // out first.
    void PutLater(const std::string& ciphertext);
    void Start();
    // Bytes for the socket as they are, ahead of every TLS byte (the tunnel's 200 reply, still
    // unsent when the browser's ClientHello came right behind its CONNECT).
    void SendAhead(const std::string& bytes);
    // Sends the ciphertext waiting for the socket (the held session tickets too); false when
    // the socket failed.
    bool Flush();
    // close_notify after everything taken so far, and a flush.
    void Close();

    CTlsSession& Session() { return *m_pSession; }
    // Decrypted bytes the owner has not read yet, or the peer's close_notify: no socket event
    // may announce them.
    bool HasPlaintext() const { return m_nPlainTaken < m_Plain.size(); }
    bool HasUnread() const { return HasPlaintext() || m_bEnded; }
    // Bytes held on the way to the peer, for the owner's per-direction limit.
    std::size_t Pending() const;
    bool IsDrained() const;

    // Runs fn on the next turn of the event loop, unless this channel is gone by then.
    void Post(std::function<void()> fn);

private:
    void Collect();
    // The browser's session ticket, for resuming its next connections.
    void SendTicket();

    CAsyncSocket& m_socket;
    std::unique_ptr<CTlsSession> m_pSession;
    std::string m_Out;   // ciphertext the socket has not taken yet
    std::string m_Plain; // decrypted bytes; the owner has read m_nPlainTaken of them
    std::size_t m_nPlainTaken = 0;
    bool m_bEnded = false;
    bool m_bHeld = false; // m_Out holds the session tickets, for the next send or flush
    bool m_bGotPlaintext = false;
    bool m_bAnswered = false; // plaintext has been sent
    bool m_bWaiting = false;  // PutLater's bytes wait for Start
    std::shared_ptr<int> m_pAlive = std::make_shared<int>(0);
};

// Where TLS problems are told besides the Debug page (stderr in headless mode); empty: nowhere.
std::function<void(const std::string&)>& TlsProblemSink();
// One line about a failed handshake, for the Debug page and the sink.
void ReportTlsProblem(CTraceStore* trace, const std::string& line);
