#pragma once
#include "platform/AsyncSocket.h"
#include "proxy/ByteQueue.h"
#include "proxy/Route.h"
#include "http/MessageFraming.h"
#include "trace/Exchange.h"
#include "trace/TraceHostLink.h"
#include "trace/TraceVocabulary.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CHostOwner;
class CSplicePipe;
class CTlsChannel;
class CTraceConnection;

// The server side of one proxied connection: the socket to one web server (host and port) or
// to the upstream proxy. It sends the queued request bytes, reads the answers, finds where each
// response ends, normalises the end of each response header and holds the bytes for the
// browser side, which delivers them in request order. Every chunk of both directions is
// recorded in its trace entry under its exchange, and each exchange owed an answer here gets
// its response as it is framed. Bytes no request asked for are never passed on: the connection
// is closed instead. When the server side ends it still offers every byte it holds.
class CHost : public CAsyncSocket, public CTraceHostLink {
public:
    // What one delivery to the browser reached.
    enum class EDelivery {
        Partial,    // the front response is not complete yet
        Complete,   // the front response has gone out whole
        EndOfPair,  // all that will ever come has gone out: the pair ends
        BrowserGone,
    };

    CHost(CHostOwner& owner, SRoute route);
    ~CHost() override;

    void SetTraceEntry(CTraceConnection* entry) { m_pTrace = entry; }
    // The connection is over: its entry is marked closed (and dropped when the store keeps no
    // closed entries). Nothing is recorded afterwards.
    void EndTrace();
    void ClearTraceEntry() override { m_pTrace = nullptr; }

    // Queues request bytes of the exchange (body or tunnel bytes) for the server and records
    // them; sends at once when connected and sendNow is set. False when this tore the pair down.
    bool QueueForServer(std::string_view bytes, CExchange* exchange, bool sendNow = true);
    // The last request was cut short: no response to it is awaited, and nothing more goes here.
    void ForgetLastRequest();
    // Queues a request header whose response will come on this connection, for its exchange.
    // A bodiless request that may be repeated (GET, HEAD) is kept until answered, to go again
    // on a new connection should the server close before it answers.
    void QueueRequest(std::string_view header, std::shared_ptr<CExchange> exchange,
                      bool repeatable);
    // The server closed before any answer to its unanswered requests began, and they may all
    // go again.
    bool CanRepeatUnanswered() const;
    // Queues them on the new connection, which then owes their answers.
    void MoveUnansweredTo(CHost& other);
    // How many requests still wait for their answers.
    std::size_t Unanswered() const { return m_Owed.size(); }
    const SRoute& Route() const { return m_Route; }
    // The trace entry's number; 0 while nothing was recorded.
    int TraceId() const;
    // Sends what waits for the server; false when this tore the pair down.
    bool FlushToServer();
    // Sends the held bytes of the oldest response still owed to the browser, never past its end.
    EDelivery DeliverResponse();

    void OnReceive(int errorCode) override;
    void OnSend(int errorCode) override;
    void OnConnect(int errorCode) override;
    void OnClose(int errorCode) override;
    void OnResolved() override;

    // TLS to the origin of its route (HostTls.cpp). Set before connecting: the connection
    // speaks TLS to the origin's name (SNI and the name verified); through the upstream it
    // first asks for a tunnel there. Its records then read as plain HTTP under that origin.
    void UseTls();
    // A CONNECT tunnel whose browser side is now decrypted becomes the TLS connection to its
    // origin (the tunnel through the upstream, if any, is open already): the handshake starts
    // now, or at the connect.
    void BecomeTlsOrigin(SRoute route);
    bool IsTls() const { return m_bTls; }
    // Connected, and TLS to the origin (or the upstream's tunnel for it) not open yet.
    bool IsHandshaking() const { return IsTls() && m_bConnected && !m_bClosed && !m_bTlsOpen; }
    // The connect timeout ran out while handshaking: the 502 in its turn, and the end of this
    // side. False when the pair is gone.
    bool HandshakeTimedOut();
    int Send(const void* data, int length) override;
    int Receive(void* data, int length) override;

    // One read from the server into buffer (kReadSize bytes); returns the Receive result.
    int DoRead(char* buffer);
    // Sends the bytes on the socket in one call, drops what was taken; returns the count sent,
    // 0 when nothing was.
    int SendBuffer(CAsyncSocket& socket, CByteQueue& bytes);

    // The tear-down's last send of what the server has not taken yet.
    void SendPending();
    // Closes the socket of a connection that is no longer needed.
    void Retire();

    // A CONNECT tunnel: bytes both ways, counted as the one exchange of the tunnel.
    void SetTunnel(std::shared_ptr<CExchange> exchange);
    // The tunnel is known not to be decrypted: from now on its bytes go from socket to socket
    // through a pipe per direction where the kernel allows it (HostSplice.cpp), recorded and
    // counted as the copies were. Without pipes it goes on copying.
    void StartSplicing();
    // The browser's next bytes may go into the pipe to the server (no copied byte waits
    // before them).
    bool SplicesFromBrowser() const;
    // Moves what the browser socket has received into the pipe to the server and records it;
    // the browser socket's Receive results.
    int SpliceFromBrowser(CAsyncSocket& browser);
    // The last of those moves was large: the browser socket may hold more at once.
    bool BrowserMayHaveMore() const;
    void SetFailed() { m_bFailed = true; }
    bool IsConnected() const { return m_bConnected; }
    bool HasFailed() const { return m_bFailed; }
    // A response has completed on this connection.
    bool HasAnswered() const { return m_bAnswered; }
    bool IsClosed() const { return m_bClosed; }
    // Another request for the same server may go on this connection.
    bool IsReusableFor(const SRoute& route) const;
    // Responses are owed or held bytes wait for the browser.
    bool IsBusy() const { return !m_Owed.empty() || PendingForBrowser() > 0; }
    // Counts the TLS layer's bytes too.
    std::size_t PendingForServer() const;
    std::size_t PendingForBrowser() const { return m_RecvBuffer.size() + Held(m_pToBrowser.get()); }
    // Stops or resumes reading from the server (holding too much for the browser).
    void SetReading(bool on);

private:
    // A request owed its answer here: its exchange, and where its bytes end in what was queued
    // for the server (its answer cannot begin before they are sent).
    struct SOwed {
        std::shared_ptr<CExchange> exchange;
        std::uint64_t headEnd = 0;   // its head's end
        std::uint64_t queuedEnd = 0; // the end of what was queued of it (head, then body)
        bool sentPending = true;     // queued bytes of it wait for the socket
        std::size_t headBytes = 0;   // its head's size
    };
    // A response held complete for the browser: where it ends among the held bytes and how it
    // ended at the server; its exchange ends when the browser has it all.
    struct SHeldEnd {
        std::uint64_t end = 0;
        std::shared_ptr<CExchange> exchange;
        EExchangeEnd state = EExchangeEnd::Complete;
    };

    void PostHeldPlaintext();
    // The exchange the received bytes belong to now; null for none.
    CExchange* Receiving() const;
    // Whether exchanges keep their body bytes (someone reads them back).
    bool KeepsBodies() const;
    // Origin bytes where no response may begin: counted, not relayed, and the connection closed.
    void DropUnexpected(std::size_t bytes);
    // The response of the front request has ended here in that state.
    void EndFrontResponse(EExchangeEnd state);
    // Stamps the owed exchanges' connect and TLS times, and their request-sent time.
    void StampOwed(std::int64_t SExchangeTimes::*step);
    void StampSent();
    // A 407 at the start of an answer from the upstream proxy is reported once.
    void CheckUpstreamAnswer(std::string_view read);
    enum class EResponseStage { Header, Body, Tunnel };

    // Frames the bytes of one read into responses and holds them for the browser.
    void ProcessResponse(std::string_view read);
    // The header steps on the bytes of a read; returns how many of them were used.
    std::size_t TakeHeader(std::string_view read);
    // How many of the bytes belong to the current body (framing that breaks ends by close).
    std::size_t TakeBody(std::string_view bytes);
    void CompleteResponse();
    // The server closed: a response that was still coming ends here.
    void EndResponseAtClose();
    // head: the complete response head that the bytes start with, as read here.
    void Hold(ETracePart part, std::string_view bytes, const SResponseHead* head = nullptr);
    void Record(ETraceDirection direction, ETracePart part, std::string_view bytes,
                std::uint64_t exchange, const SResponseHead* head = nullptr);
    // The trace entry, made when there is none yet; null without a store or after its end.
    CTraceConnection* TraceEntry();
    // A spliced read: its count recorded (as its tunnel's reads always were) and counted.
    void RecordSpliced(ETraceDirection direction, std::size_t bytes);
    // The server side is over (0: closed; else its error): read what is left (unless a read
    // has just found the end: nothing is left), then let the browser side deliver it. False
    // when the pair is gone.
    bool ServerEnded(int errorCode, bool endRead = false);

    // Splicing (HostSplice.cpp). The server's bytes go into the pipe to the browser now.
    bool SplicesFromServer() const;
    // OnReceive of a spliced tunnel.
    void ReceiveSpliced();
    // What waits in the pipes, put out; false when the pipe to the server failed and this tore
    // the pair down, -1 from the browser's when the browser failed.
    bool DrainToServer();
    int DrainToBrowser();
    // A pipe that has stopped taking bytes counts as a full buffer.
    static std::size_t Held(const CSplicePipe* pipe);

    // After the connect: the CONNECT to the upstream proxy, or the TLS handshake at once.
    void StartTls();
    // Reads the upstream proxy's answer to our CONNECT; -1 with the error set while not done.
    int ReadTunnelReply();
    void OpenTlsSession();
    // The origin side failed: the browser gets a 502 saying which hop and why, in its turn.
    void HoldBadGateway();

    std::unique_ptr<CTlsChannel> m_pTls;
    std::unique_ptr<CSplicePipe> m_pToServer;  // a spliced tunnel's browser bytes
    std::unique_ptr<CSplicePipe> m_pToBrowser; // and its server's
    bool m_bTls = false;
    bool m_bTlsDone = false;   // the handshake with the origin is over (its time stamped)
    std::string m_strVia;      // "host:port" asked of the upstream proxy first; empty: direct
    std::string m_strOrigin;   // "https://host[:port]" for the records' summaries
    std::string m_strTunnelReply; // the upstream's answer to our CONNECT, while it comes
    std::string m_strTlsError;    // why the origin side failed, when it did
    bool m_bAwaitTunnel = false;
    bool m_bTlsOpen = false; // the handshake with the origin has completed

    bool m_bClosed = false;
    EResponseStage m_nState = EResponseStage::Header;
    bool m_bTunnel = false;
    bool m_bConnected = false;
    CHostOwner& m_Owner;
    CByteQueue m_RecvBuffer;
    std::string m_Header; // response header bytes while its end is awaited, not yet recorded
    SResponseHead m_ResponseHead; // the complete one read, for the framing and its record
    CByteQueue m_SendBuffer;
    CTraceConnection* m_pTrace = nullptr;
    bool m_bTraceEnded = false;

    SRoute m_Route;
    // The unanswered requests that may go again, from the first owed one: how many, and the
    // bytes of their heads (which their exchanges keep as they went out).
    std::size_t m_nReplayCount = 0;
    std::size_t m_nReplayBytes = 0;
    bool m_bReplayable = true;
    bool m_bAnswered = false;          // a response has completed on this connection
    // These queues hold an entry or two as a rule: vectors, which allocate nothing until used
    // (a deque allocates as it is made, for every connection).
    std::vector<SOwed> m_Owed;         // the requests still owed a response, oldest first
    std::shared_ptr<CExchange> m_pTunnelExchange; // a CONNECT tunnel's one exchange
    std::shared_ptr<CExchange> m_pLastAnswered;   // whose answer completed last here
    CBodyFramer m_Framer;
    std::uint64_t m_nQueued = 0;       // bytes ever queued for the server
    std::uint64_t m_nSent = 0;         // of those, bytes the socket (or TLS) took
    std::uint64_t m_nHeld = 0;         // bytes ever held for the browser
    std::uint64_t m_nDelivered = 0;    // of those, bytes sent to the browser
    std::vector<SHeldEnd> m_ResponseEnds;          // held complete responses, oldest first
    std::uint64_t m_nCloseAt = UINT64_MAX;         // where a response ended by the close ends
    bool m_bReusable = true;
    bool m_bFailed = false;

    std::size_t m_nScanned = 0;  // bytes of m_Header already searched for the header end
    bool m_bViaUpstream = false;
    bool m_bDropped = false; // closed for bytes no request asked for
    bool m_bTunnelAnswerSeen = false; // a tunnel through the upstream has had its first bytes
    bool m_bShutDownSent = false; // the browser's end was passed on to the server
    long m_lSelected = kAllEvents;
    bool m_bReceivePosted = false;
};
