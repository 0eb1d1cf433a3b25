#pragma once
#include "app/ReplayRequest.h"
#include "http/MessageFraming.h"
#include "proxy/TlsSocket.h"

#include <QTimer>

#include <functional>
#include <memory>
#include <string>

class CTlsClientContext;

// Where a replay connection goes: straight to a server, or through the upstream proxy, which
// takes plain requests with their absolute URL (as the relay sends them) and opens a CONNECT
// tunnel for https ones, with TLS on top.
struct SReplayRoute {
    std::string host; // the server (or the target that stands in for it)
    int port = 0;
    std::string upstreamHost; // empty: no upstream proxy
    int upstreamPort = 0;
    std::string upstreamUser, upstreamPassword;
    bool tls = false;
    std::string tlsName; // the name the origin's certificate must carry
    std::shared_ptr<CTlsClientContext> tlsContext;

    // Requests with the same key may share a kept-alive connection.
    std::string Key() const;
    // host:port, the host in brackets when it is an IPv6 address.
    std::string Authority() const;
};

// What came back for one request.
struct SReplayAnswer {
    int status = 0; // 0: no answer (error says why)
    std::string error;
    std::uint64_t bodyHash = 0;
    bool reusable = false; // the connection may carry the next request
    bool retry = false;    // a kept-alive connection closed before any answer byte
};

// One connection that sends replayed requests one after another and reads each answer with
// the http library's framing. The answer is handed to `done`, which may start the next
// request on this connection or delete it.
class CReplayConnection : public CTlsSocket {
public:
    using Done = std::function<void(CReplayConnection&, const SReplayAnswer&)>;
    // The longest a request may take, from its start to the end of its answer.
    static constexpr int kRequestTimeoutMs = 60000;

    CReplayConnection(SReplayRoute route, Done done);
    ~CReplayConnection() override;

    const std::string& Key() const { return m_strKey; }
    void Send(const std::string& method, const std::string& bytes);
    using CTlsSocket::Send;

    void OnConnect(int errorCode) override;
    void OnReceive(int errorCode) override;
    void OnSend(int errorCode) override;
    void OnClose(int errorCode) override;

private:
    enum class EStep { Idle, Starting, Connecting, Tunnel, Head, Body };

    void StartRequest();
    // The request being replayed as a plain request goes to the upstream proxy: the absolute
    // URL and the proxy's credentials.
    std::string ProxyForm() const;
    void SendMore();
    // Takes the bytes read; false when the answer is over (done was called).
    bool Take(const char* data, std::size_t size);
    void ReadAll();
    // The answer is over: handed to done. reusable: nothing came after it.
    void Finish(bool reusable);
    void Fail(const std::string& error, bool retry = false);
    // Closes the connection; the next request makes a new one.
    void Drop();
    std::string TlsError(const std::string& what) const;

    SReplayRoute m_Route;
    std::string m_strKey;
    Done m_done;
    QTimer m_Timer;
    EStep m_eStep = EStep::Idle;
    bool m_bConnected = false;
    bool m_bReused = false;
    bool m_bAnswered = false; // a byte of the answer came
    std::string m_strMethod;
    std::string m_Request; // the request being replayed
    std::string m_Out;     // bytes to send, of which m_nSent are gone
    std::size_t m_nSent = 0;
    std::string m_In; // a head being read
    int m_nStatus = 0;
    CBodyFraming m_Framing;
    CBodyFramer m_Framer;
    std::unique_ptr<CBodyHash> m_pHash;
};
