#pragma once
#include "platform/AsyncSocket.h"
#include "http/MessageFraming.h"
#include "http/RequestFields.h"
#include "proxy/ConnectionWatchdog.h"
#include "proxy/HostOwner.h"
#include "proxy/Route.h"
#include "proxy/TlsSocket.h"
#include "trace/Exchange.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CHost;
class CProxyContext;
class CTlsChannel;
class CTlsServerContext;
class CTunnelSniffer;

// The browser side of one proxied connection. It finds every request on the connection (its
// header, then its body by the message framing), parses its request line and sends it to the
// server it names: on the server connection (CHost) already open to that host and port, or on
// a new one. The answers reach the browser in request order. Each request is an exchange
// (CExchange), made at its head and held here until its answer is out or the pair ends. It
// answers by itself with the 400, 200 (tunnel) and 404 replies, and tears the pair down: server
// sides first, then itself. It owns its CHosts; the connection registry of its context owns it.
class CProxy : public CTlsSocket, public CRequestFields, public CHostOwner {
public:
    static constexpr int kReadSize = 8096;
    // The most bytes one side holds for the other before it stops reading. (The longest
    // request header is CConnectionWatchdog::kMaxHeaderBytes.)
    static constexpr std::size_t kBufferLimit = 1 << 20;

    // Requests waiting for their answers before the browser's next one waits too.
    static constexpr std::size_t kMaxUnanswered = 64;

    static const char kBadHeaderReply[];
    static const char kTunnelReply[];
    static const char kConnectErrorReply[];

    explicit CProxy(CProxyContext& context);
    ~CProxy() override;

    CProxyContext& Context() const override { return m_Context; }
    // The browser connection's number in this run (from 1).
    int Number() const { return m_nNumber; }

    void OnReceive(int errorCode) override;
    void OnSend(int errorCode) override;
    void OnConnect(int errorCode) override;
    void OnClose(int errorCode) override;
    // Plaintext through the browser's TLS once a tunnel is decrypted; the socket's own before.
    int Receive(void* data, int length) override;

    // Sends the bytes on the socket in one call and drops what was taken; returns the count
    // sent, 0 when nothing was (a failed send keeps every byte).
    int Send_Data(CAsyncSocket& socket, std::string& bytes);
    // Stages a reply of the proxy's own for the browser.
    void AppendToBuffer(const char* bytes, std::size_t length);

    // What the server sides ask (CHostOwner).
    CAsyncSocket& BrowserSocket() override { return *this; }
    void ServerConnected(CHost* host) override;
    void ConnectFailed(CHost* host) override;
    bool ServerEnded(CHost* host) override;
    void ServerDropped(CHost* host) override;
    void SwitchToTunnel(CHost* host) override;
    // Sends what waits for the browser: the proxy's own replies first, then the responses in
    // request order. False when this tore the pair down.
    bool FlushToBrowser() override;
    bool IsBrowserDone() const override { return m_bBrowserDone; }
    void UpdateFlow() override;
    // Deletes the server connections closed as no longer needed (never the caller's own).
    void ReleaseRetired() override;
    bool IsTornDown() const override { return m_bTornDown; }

    // Connects still unfinished after the connect timeout: each gets the 404 page in its turn
    // (the 502 when only its TLS handshake is).
    void ConnectTimedOut();
    // Closes the server sides, then this side, and hands the pair back to the registry, which
    // frees it once the event loop is back. No event reaches either afterwards.
    void TearDown();

private:
    enum class ERequestStage {
        Header,  // waiting for the end of a request header
        Body,    // relaying a request body
        Tunnel,  // everything passes unframed (CONNECT, 101)
        Held,    // a CONNECT waits for the earlier answers
        Refused, // the 400 is due: nothing more is forwarded
    };

    // The framing steps on the browser bytes in m_Buffer; false when the pair is gone.
    bool ProcessBuffered();
    // OnReceive of a tunnel whose bytes go through the server side's pipe (ProxySplice.cpp).
    void ReceiveSpliced();
    // Relays body or tunnel bytes; returns how many were used.
    std::size_t RelayBody(std::string_view bytes);
    // A request owed its answer, in request order: its exchange and where it went.
    struct SPending {
        CHost* host = nullptr;
        std::shared_ptr<CExchange> exchange;
    };

    // One complete request header; false when the pair is gone.
    bool ProcessHeader(std::string& header);
    bool StartTunnel(std::string header, std::shared_ptr<CExchange> exchange);
    // How many bytes of a request line to drop to put it in origin form in place (its scheme and
    // authority), when it is the line just parsed and of the usual shape; 0 otherwise.
    std::size_t AbsolutePartOfLine(std::string_view line) const;
    // The exchange of a request head just read, its request side filled in.
    std::shared_ptr<CExchange> NewExchange(const std::string& header);
    // The proxy answers the request itself (400 or 404): its exchange ends refused.
    void RefuseExchange(CExchange& exchange, int status, std::string reason);
    // Adds the upstream's Proxy-Authorization line unless the browser sent its own.
    void AddUpstreamCredentials(std::string& header) const;
    // The server connection for the route: the current one when it may be reused.
    CHost* ServerFor(const SRoute& route);
    CHost* OpenServer(const SRoute& route, bool tunnel);
    void Retire(CHost* host);
    // The server closed with requests that may go again: they go on a new connection.
    void RepeatUnanswered(CHost* host);
    // Untrustworthy framing: the 400 after the earlier answers, and nothing more forwarded.
    void Refuse();
    bool FlushToServers();
    // The browser closed (0) or failed (its error). False when the pair is gone.
    bool BrowserEnded(int errorCode);
    // Sends a reply of the proxy's own and tears down once it has all gone.
    // False when the pair is gone. An untraced reply is first tried with one direct send.
    bool ReplyAndClose(const char* reply, std::size_t length, bool traced);
    // Nothing is owed to the browser any more: a due reply, a held CONNECT, or the end.
    bool AfterLastResponse();

    // Decrypted tunnels (ProxyTls.cpp).
    // With decryption on for host: the browser's first tunnel bytes are looked at first.
    void WatchForTls(const std::string& host, int port);
    // Holds tunnel bytes until they show TLS or not; returns how many were used (all).
    std::size_t SniffTunnel(std::string_view bytes);
    void BeginDecryption(CTlsServerContext& server);
    // The browser's handshake on the ClientHello held for it, once the origin's has begun.
    void StartBrowserTls();
    void NoteBrowserTlsFailure();
    // Requests inside a decrypted tunnel, and absolute https:// ones, go to their origin over
    // TLS: fills the route (and puts an absolute request line in origin form); false for any
    // other request.
    bool RouteOverTls(std::string& header, SRoute& route);
    // The browser's TLS ends after all it is owed, with close_notify unless the answer was
    // cut short; true while that drains.
    bool StartDraining();
    void PostHeldPlaintext();
    // Closes the server connections and forgets them (the first step of the tear-down); they
    // are freed with this object.
    void CloseServers();

    friend class CConnectionWatchdog; // keeps its watch of this connection here
    friend class CConnectionRegistry; // and its place in the list of live pairs
    static constexpr std::size_t kNotRegistered = ~std::size_t{0};
    std::size_t m_nRegistryIndex = kNotRegistered;
    CProxyContext& m_Context;
    CConnectionWatchdog& m_Watchdog;
    CConnectionWatchdog::SWatch m_Watch;
    const int m_nNumber;
    bool m_bTornDown = false;
    // How the exchanges still owed end if the pair goes now.
    EExchangeEnd m_nAbortEnd = EExchangeEnd::OriginAborted;
    bool m_bCutShort = false;       // an answer was truncated: the browser must see it so

    std::unique_ptr<CTunnelSniffer> m_pSniffer;
    std::string m_strTlsHost;       // the CONNECT's host and port
    int m_nTlsPort = 443;
    std::string m_strTlsName;       // the name the browser asked for (SNI), else the host
    bool m_bTlsFailureNoted = false;
    bool m_bDraining = false;
    bool m_bReceivePosted = false;

    std::string m_Buffer;           // browser bytes not yet framed
    ERequestStage m_nState = ERequestStage::Header;
    CHost* m_pHost = nullptr;       // where the current request goes (one of m_Hosts)
    std::shared_ptr<CExchange> m_pRequest; // whose body (or tunnel bytes) the browser sends
    std::vector<std::unique_ptr<CHost>> m_Hosts;
    std::vector<std::unique_ptr<CHost>> m_Retired; // freed at the next event, or with this
    std::vector<std::unique_ptr<CHost>> m_Closed;  // the servers of a torn-down pair
    std::vector<SPending> m_Order;  // each request still owed an answer, in order
    CBodyFramer m_BodyFramer;
    std::string m_Reply;            // the proxy's own reply, ahead of any server byte
    std::string m_strLine;          // a request line being rewritten (its buffer kept)
    std::string m_strHead;          // the request head being processed (its buffer kept)
    SRoute m_NextRoute;             // the route being made for it (its buffers kept)

    std::size_t m_nScanned = 0;     // bytes of m_Buffer already searched for the header end
    bool m_bBrowserDone = false;    // the browser's side has ended
    bool m_bCloseAfterReply = false;
    long m_lSelected = kAllEvents;
};
