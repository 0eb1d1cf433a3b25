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

    // Listens on port (0: the system chooses) on every interface: IPv4 browsers reach a plain
    // IPv4 socket (their connections cost the system less than IPv4 ones mapped onto IPv6),
    // IPv6 browsers a second, IPv6-only socket on the same port where the system has IPv6.
    // False when the port cannot be had (GetLastError tells why).
    bool Open(int port);

    void OnAccept(int errorCode) override;

    bool IsBackingOff() const { return m_bBackingOff; }

private:
    class CIpv6Side;
    // Tries once to have port on both families.
    bool OpenAt(int port);
    // Takes the next waiting connection of listener (this or the IPv6 side).
    void AcceptFrom(CAsyncSocket& listener);
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
    std::unique_ptr<CIpv6Side> m_pIpv6; // null without IPv6
    std::unique_ptr<QTimer> m_pResume;
    bool m_bBackingOff = false;
    bool m_bExhausted = false; // an episode is under way (reported once)
    bool m_bDataFirst = false; // connections come with their first bytes (TCP_DEFER_ACCEPT)
};
