#pragma once

class CAsyncSocket;
class CHost;
class CProxyContext;

// What a server connection (CHost) may ask of the browser side that owns it. The browser side
// calls its servers directly; they answer only through this, so neither class needs the other's
// whole surface.
class CHostOwner {
public:
    virtual CProxyContext& Context() const = 0;
    // The socket the answers are delivered on (plaintext through TLS once decrypted).
    virtual CAsyncSocket& BrowserSocket() = 0;
    // The browser has ended its side (and the bytes it sent are all queued).
    virtual bool IsBrowserDone() const = 0;
    // The pair is closed: no handler of its servers may act any more.
    virtual bool IsTornDown() const = 0;
    // Every server event starts by freeing the connections retired earlier (never the caller).
    virtual void ReleaseRetired() = 0;

    // The connect finished (its timeout stops).
    virtual void ServerConnected(CHost* host) = 0;
    // The server could not be reached: the 404 page in that request's turn.
    virtual void ConnectFailed(CHost* host) = 0;
    // The server side has ended; false when the pair is gone.
    virtual bool ServerEnded(CHost* host) = 0;
    // The server sent what no request asked for and is closed: no further request goes there.
    virtual void ServerDropped(CHost* host) = 0;
    // A 101 answer: from now on the browser's bytes pass unframed to that server.
    virtual void SwitchToTunnel(CHost* host) = 0;
    // Sends what waits for the browser; false when this tore the pair down.
    virtual bool FlushToBrowser() = 0;
    // Chooses the events of all sockets from what their buffers hold.
    virtual void UpdateFlow() = 0;

protected:
    ~CHostOwner() = default;
};
