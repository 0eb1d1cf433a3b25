#pragma once
#include "support/BlockingStream.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A server on 127.0.0.1, or on ::1 alone (port chosen by the system), that runs handler on a thread of its own
// for each connection it accepts: an origin server or an upstream proxy for the tests. The
// destructor stops accepting and joins every handler (handlers must bound their waits).
class LoopbackServer {
public:
    using Handler = std::function<void(BlockingStream&)>;

    explicit LoopbackServer(Handler handler, bool ipv6Only = false);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int Port() const { return m_nPort; }
    int Accepted() const { return m_nAccepted; }
    int Finished() const { return m_nFinished; }

private:
    void AcceptLoop();

    Handler m_Handler;
    int m_fdListen = -1;
    int m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nAccepted{0};
    std::atomic<int> m_nFinished{0};
    std::mutex m_Lock;
    std::vector<std::thread> m_Workers;
    std::thread m_Acceptor;
};

// Runs fn on a thread of its own and the Qt event loop until it has finished (or timeoutMs
// has passed; the thread is then still joined, so fn must bound its own waits). Returns
// whether fn finished in time.
bool RunClient(const std::function<void()>& fn, int timeoutMs = 10000);
