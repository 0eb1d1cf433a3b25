#include "support/FakeNameServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

FakeNameServer::FakeNameServer(std::map<std::string, std::vector<std::string>> table)
    : m_Table(std::move(table))
{
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0
        || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) < 0)
        return;
    m_nPort = ntohs(local.sin_port);
    m_Thread = std::thread([this] { Serve(); });
}

FakeNameServer::~FakeNameServer()
{
    m_bStop = true;
    if (m_Thread.joinable())
        m_Thread.join();
    if (m_fd >= 0)
        ::close(m_fd);
}

void FakeNameServer::Serve()
{
    while (!m_bStop) {
        pollfd ready{m_fd, POLLIN, 0};
        if (::poll(&ready, 1, 50) <= 0)
            continue;
        unsigned char query[512];
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(m_fd, query, sizeof query, 0,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 17)
            continue;
        // The question: labels from offset 12, then type and class.
        std::string name;
        std::size_t at = 12;
        while (at < static_cast<std::size_t>(n) && query[at] != 0) {
            const std::size_t label = query[at];
            if (at + 1 + label >= static_cast<std::size_t>(n))
                break;
            name += (name.empty() ? "" : ".") + std::string(reinterpret_cast<char*>(query) + at + 1, label);
            at += 1 + label;
        }
        if (at + 5 > static_cast<std::size_t>(n))
            continue;
        const int type = query[at + 1] << 8 | query[at + 2];
        std::string reply(reinterpret_cast<char*>(query), at + 5); // header and question
        reply[2] = static_cast<char>(0x81);
        reply[3] = static_cast<char>(0x80);
        int count = 0;
        for (const std::string& text : m_Table[name]) {
            unsigned char bytes[16];
            const bool v6 = text.find(':') != std::string::npos;
            if ((type == 28) != v6 || inet_pton(v6 ? AF_INET6 : AF_INET, text.c_str(), bytes) != 1)
                continue;
            const char record[] = {'\xc0', '\x0c', 0, static_cast<char>(type), 0, 1, 0, 0, 0, 5,
                                   0, static_cast<char>(v6 ? 16 : 4)};
            reply.append(record, sizeof record);
            reply.append(reinterpret_cast<char*>(bytes), v6 ? 16 : 4);
            ++count;
        }
        reply[6] = 0;
        reply[7] = static_cast<char>(count);
        reply[8] = reply[9] = reply[10] = reply[11] = 0;
        ::sendto(m_fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
    }
}
