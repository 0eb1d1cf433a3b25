#pragma once
#include "platform/AsyncSocket.h"
#include "proxy/ByteQueue.h"
#include "trace/TraceHostLink.h"

#include <cstddef>
#include <string>
#include <string_view>

class CProxy;
class CTraceConnection;

// The server side of one proxied connection: the socket to the web server or the upstream
// proxy. It sends the queued request bytes, reads the answer, normalises the end of the
// response header and relays everything to the browser, recording every chunk of both
// directions in its trace entry. When the server side ends it still delivers every byte it
// holds, then has the browser side tear the pair down.
class CHost : public CAsyncSocket, public CTraceHostLink {
public:
    explicit CHost(CProxy* proxy);
    ~CHost() override;

    void SetTraceEntry(CTraceConnection* entry) { m_pTrace = entry; }
    void ClearTraceEntry() override { m_pTrace = nullptr; }

    // Queues request bytes for the server and records them; sends at once when connected and
    // sendNow is set. False when this tore the pair down.
    bool QueueForServer(std::string_view bytes, bool sendNow = true);
    // Sends what waits for the server; false when this tore the pair down.
    bool FlushToServer();
    // Sends what waits for the browser, once the pair's own replies have gone; tears the pair
    // down when the server has ended and all is delivered. False when the pair is gone.
    bool FlushToBrowser();

    void OnReceive(int errorCode) override;
    void OnSend(int errorCode) override;
    void OnConnect(int errorCode) override;
    void OnClose(int errorCode) override;

    // One read from the server into buffer (kReadSize bytes); returns the Receive result.
    int DoRead(char* buffer);
    // Sends the bytes on the socket in one call, drops what was taken; returns the count sent,
    // 0 when nothing was.
    int SendBuffer(CAsyncSocket& socket, CByteQueue& bytes);

    // The tear-down's last send of what the server has not taken yet.
    void SendPending();

    void SetTunnel() { m_bTunnel = 1; m_nState = 2; }
    bool IsClosed() const { return m_bClosed != 0; }
    std::size_t PendingForServer() const { return m_SendBuffer.size(); }
    std::size_t PendingForBrowser() const { return m_RecvBuffer.size(); }
    // Stops or resumes reading from the server (holding too much for the browser).
    void SetReading(bool on);

private:
    // Header or pass-through handling of the bytes of one read; they are in m_RecvBuffer.
    void ProcessResponse(std::string_view read);
    void Record(int direction, int part, std::string_view bytes);
    // The server side is over (0: closed; else its error): read what is left, deliver all
    // that is held, then tear down. False when the pair is gone.
    bool ServerEnded(int errorCode);

    int m_bClosed = 0;
    int m_nState = 1;
    int m_bTunnel = 0;
    int m_bConnected = 0;
    CProxy* m_pProxy;
    CByteQueue m_RecvBuffer;
    std::string m_Header; // response bytes while the header is awaited, not yet recorded
    CByteQueue m_SendBuffer;
    CTraceConnection* m_pTrace = nullptr;

    std::size_t m_nScanned = 0;  // bytes of m_RecvBuffer already searched for the header end
    bool m_bShutDownSent = false; // the browser's end was passed on to the server
    long m_lSelected = kAllEvents;
};
