#pragma once
#include "proxy/AnswerSink.h"
#include "proxy/HostOwner.h"
#include "trace/Exchange.h"

#include <QTimer>

#include <functional>
#include <memory>
#include <string>

class CExchange;
class CHost;
struct SResendRequest;

// One request sent again by Kestrune itself, never through the listening socket: the relay's
// own server side (CHost) routes it as the browser's request would go now (directly, through
// the upstream proxy, over TLS verifying the origin), records it and fills a new exchange,
// flagged as a replay of the one it repeats, which the store shows and its observer passes on
// like any other. The answer is taken and dropped once recorded; the connection then closes.
class CReplaySender final : public CHostOwner {
public:
    // Told once the replay is over; the owner frees the sender later, never inside the call.
    using Finished = std::function<void(CReplaySender*)>;

    CReplaySender(CProxyContext& context, Finished finished);
    ~CReplaySender();
    CReplaySender(const CReplaySender&) = delete;
    CReplaySender& operator=(const CReplaySender&) = delete;

    // Checks the request as the relay checks a browser's, then makes its exchange and starts
    // it. Null, with the reason, when the request cannot go.
    std::shared_ptr<CExchange> Start(const SResendRequest& request, std::string& error);
    bool IsFinished() const { return m_bFinished; }

    // The server side's questions and events.
    CProxyContext& Context() const override { return m_Context; }
    CAsyncSocket& BrowserSocket() override { return m_Sink; }
    bool IsBrowserDone() const override { return false; }
    bool IsTornDown() const override { return m_bFinished; }
    void ReleaseRetired() override { }
    void ServerConnected(CHost* host) override;
    void ConnectFailed(CHost* host) override;
    bool ServerEnded(CHost* host) override;
    void ServerDropped(CHost*) override { }
    void SwitchToTunnel(CHost*) override { m_bUpgraded = true; }
    bool FlushToBrowser() override;
    void UpdateFlow() override;

private:
    // Ends the replay: the connection closed, the exchange ended (with why, when its answer
    // did not come whole), the owner told.
    void Finish(EExchangeEnd end, const std::string& reason);

    CProxyContext& m_Context;
    Finished m_Finished;
    CAnswerSink m_Sink;
    std::unique_ptr<CHost> m_pHost;
    std::shared_ptr<CExchange> m_pExchange;
    QTimer m_Timer; // the connect timeout, then the idle timeout
    bool m_bConnected = false;
    bool m_bUpgraded = false;
    bool m_bFinished = false;
};
