#include "support/ClosedPort.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Bound on every address of both families, so 127.0.0.x and ::1 alike are refused; on a system
// without IPv6, on every IPv4 address.
int HoldPort()
{
    sockaddr_storage any{};
    socklen_t size = sizeof(sockaddr_in6);
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        int no = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        reinterpret_cast<sockaddr_in6&>(any).sin6_family = AF_INET6; // in6addr_any is all zeros
    } else {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        size = sizeof(sockaddr_in);
        reinterpret_cast<sockaddr_in&>(any).sin_family = AF_INET;
    }
    auto* address = reinterpret_cast<sockaddr*>(&any);
    if (fd < 0 || ::bind(fd, address, size) != 0 || ::getsockname(fd, address, &size) != 0) {
        if (fd >= 0)
            ::close(fd);
        return 1;
    }
    // The descriptor stays open until the process ends; both port fields sit at the same place.
    return ntohs(reinterpret_cast<sockaddr_in&>(any).sin_port);
}

} // namespace

int ClosedPort()
{
    static const int port = HoldPort();
    return port;
}
