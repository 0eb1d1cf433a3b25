#pragma once
#include <QTimer>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class CExchange;
class CProxyContext;
class CReplaySender;
struct SResendRequest;

// Kestrune's own requests of the run (Replay, Edit and Resend): it starts each on a sender of
// its own and frees the senders once they are over, outside their handlers. A bounded number
// run at once.
class CReplayLauncher {
public:
    static constexpr std::size_t kMaxRunning = 64;

    explicit CReplayLauncher(CProxyContext& context);
    ~CReplayLauncher();
    CReplayLauncher(const CReplayLauncher&) = delete;
    CReplayLauncher& operator=(const CReplayLauncher&) = delete;

    // Sends the request as a new exchange (the store shows it at once, open). Null, with the
    // reason, when it cannot go.
    std::shared_ptr<const CExchange> Send(const SResendRequest& request, std::string& error);
    std::size_t Running() const { return m_Running.size(); }

private:
    void Finished(CReplaySender* sender);

    CProxyContext& m_Context;
    std::vector<std::unique_ptr<CReplaySender>> m_Running;
    std::vector<std::unique_ptr<CReplaySender>> m_Over; // freed on the next turn of the loop
    QTimer m_FreeTimer;
};
