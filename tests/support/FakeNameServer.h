#pragma once
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

// A name server on 127.0.0.1 (UDP, port chosen by the system) that answers A and AAAA
// questions from its own table, so tests resolve names without leaving the machine. A name or
// type it does not know gets an answer without records.
class FakeNameServer {
public:
    // name -> addresses as text ("127.0.0.1", "::1").
    explicit FakeNameServer(std::map<std::string, std::vector<std::string>> table);
    ~FakeNameServer();
    FakeNameServer(const FakeNameServer&) = delete;
    FakeNameServer& operator=(const FakeNameServer&) = delete;

    // "127.0.0.1:port", as the resolver takes it.
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_nPort); }

private:
    void Serve();

    std::map<std::string, std::vector<std::string>> m_Table;
    int m_fd = -1;
    int m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::thread m_Thread;
};
