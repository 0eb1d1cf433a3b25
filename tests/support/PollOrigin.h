#pragma once
#include <atomic>
#include <thread>

// An origin server on 127.0.0.1 (port chosen by the system) that serves every connection from
// one thread: it reads a request header, answers "HTTP/1.0 200 OK" with the request's path as
// the body, and closes. Unlike LoopbackServer it keeps no thread per connection, so it takes
// any number of connections, at once or over a long run.
class PollOrigin {
public:
    PollOrigin();
    ~PollOrigin();
    PollOrigin(const PollOrigin&) = delete;
    PollOrigin& operator=(const PollOrigin&) = delete;

    int Port() const { return m_nPort; }
    // Requests answered in full.
    int Served() const { return m_nServed; }
    // The answer it gives to a request for path.
    static std::string Reply(const std::string& path);

private:
    void Run();

    int m_fdListen = -1;
    int m_fdPoll = -1;
    int m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nServed{0};
    std::thread m_Thread;
};
