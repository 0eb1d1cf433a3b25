#include "platform/LocalAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {
bool IsInterfaceAddress(int family, const void* address)
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (const ifaddrs* a = list; a && !found; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != family)
            continue;
        if (family == AF_INET)
            found = std::memcmp(&reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr,
                                address, sizeof(in_addr)) == 0;
        else
            found = std::memcmp(&reinterpret_cast<const sockaddr_in6*>(a->ifa_addr)->sin6_addr,
                                address, sizeof(in6_addr)) == 0;
    }
    ::freeifaddrs(list);
    return found;
}
} // namespace

bool IsLocalAddress(const std::string& host)
{
    std::string name = host;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!name.empty() && name.back() == '.')
        name.pop_back(); // the absolute form of the same name
    if (name == "localhost" || (name.size() > 10 && name.compare(name.size() - 10, 10, ".localhost") == 0))
        return true;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);

    in_addr v4{};
    if (::inet_pton(AF_INET, name.c_str(), &v4) == 1) {
        const std::uint32_t a = ntohl(v4.s_addr);
        return (a >> 24) == 127 || a == 0 || IsInterfaceAddress(AF_INET, &v4);
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, name.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6) || IN6_IS_ADDR_UNSPECIFIED(&v6)
            || IsInterfaceAddress(AF_INET6, &v6);
    return false;
}
