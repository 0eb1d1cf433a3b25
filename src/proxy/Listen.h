#pragma once
#include "platform/AsyncSocket.h"

#include <memory>

class CProxyContext;
class QTimer;

// The listening socket on which browsers reach the proxy. Each accepted connection gets its
// own CProxy, handed to the context's connection registry; the listener keeps no list of them,
// so connections outlive a restart of the listener.
//
// When the process runs out of descriptors, the waiting connection cannot be taken and stays
// ready: the listener then stops watching for a short while instead of failing the accept
// thousands of times a second, and says so once per episode.
class CListen : public CAsyncSocket {
public:
    // How long the listener rests after an accept failed for want of descriptors or memory.
    static constexpr int kBackOffMs = 200;

    explicit CListen(CProxyContext& context);
    ~CListen() override;

    void OnAccept(int errorCode) override;

    bool IsBackingOff() const { return m_bBackingOff; }

private:
    void BackOff(int error);
    void Resume();
    // TCP_NODELAY for the accepted connection, set on the listener once so that accepted
    // sockets inherit it where the system passes it on.
    void SetNoDelay(CAsyncSocket& accepted);

    // Where TCP_NODELAY comes from: not yet set anywhere, set on the listener (the next
    // accepted socket shows whether it passed on), inherited, or set on each socket.
    enum class ENoDelay { Unset, Check, Inherited, EachSocket };
    ENoDelay m_nNoDelay = ENoDelay::Unset;

    CProxyContext& m_Context;
    std::unique_ptr<QTimer> m_pResume;
    bool m_bBackingOff = false;
    bool m_bExhausted = false; // an episode is under way (reported once)
};
