#pragma once
#include "platform/AsyncSocket.h"
#include "proxy/RequestFields.h"

#include <cstddef>
#include <string>
#include <vector>

class CHost;

// The browser side of one proxied connection. It collects the request header, parses its
// request line, opens the server side (CHost) and streams everything after the header to it.
// It answers by itself with the 400, 200 (tunnel) and 404 replies, and tears the pair down:
// server side first, then itself. It owns itself and its CHost.
class CProxy : public CAsyncSocket, public CRequestFields {
public:
    static constexpr int kReadSize = 8096;
    // The most bytes one side holds for the other before it stops reading. (The longest
    // request header is CConnectionWatchdog::kMaxHeaderBytes.)
    static constexpr std::size_t kBufferLimit = 1 << 20;

    static const char kBadHeaderReply[];
    static const char kTunnelReply[];
    static const char kConnectErrorReply[];

    CProxy();
    ~CProxy() override;

    void OnReceive(int errorCode) override;
    void OnSend(int errorCode) override;
    void OnConnect(int errorCode) override;
    void OnClose(int errorCode) override;

    // Sends the bytes on the socket in one call and drops what was taken; returns the count
    // sent, 0 when nothing was (a failed send keeps every byte).
    int Send_Data(CAsyncSocket& socket, std::string& bytes);
    void AppendToBuffer(const char* bytes, std::size_t length);

    // Called by the server side.
    // The server could not be reached: the 404 page, then the tear-down.
    void ConnectFailed();
    // Sends what waits for the browser: the proxy's own replies first, then the server's
    // bytes. False when this tore the pair down.
    bool FlushToBrowser();
    // Whether a reply of the proxy's own still waits, ahead of any byte from the server.
    bool HasPendingReply() const { return !m_Buffer.empty(); }
    // The browser has ended its side (and the bytes it sent are all queued).
    bool IsBrowserDone() const { return m_bBrowserDone; }
    // Chooses the events of both sockets from what their buffers hold.
    void UpdateFlow();
    // Deletes the server side, then this object. Nothing may touch either afterwards.
    void TearDown();

    // Connections alive now, and the tear-down of them all (the end of the run).
    static std::size_t LiveCount();
    static void DestroyAll();

private:
    // Header steps once the header may be complete; false when the pair is gone.
    bool ProcessHeader();
    bool StartServerConnection(std::string header, std::string rest);
    // The browser closed (0) or failed (its error). False when the pair is gone.
    bool BrowserEnded(int errorCode);
    // Sends a reply of the proxy's own and tears down once it has all gone.
    // False when the pair is gone. An untraced reply is first tried with one direct send.
    bool ReplyAndClose(const char* reply, std::size_t length, bool traced);

    std::string m_Buffer;
    int m_nState = 1;
    CHost* m_pHost = nullptr;
    std::vector<std::string> m_HeaderLines;

    std::size_t m_nScanned = 0;     // bytes of m_Buffer already searched for the header end
    bool m_bBrowserDone = false;    // the browser's side has ended
    bool m_bCloseAfterReply = false;
    long m_lSelected = kAllEvents;
};
