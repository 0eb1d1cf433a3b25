#include "platform/HostText.h"

#include <arpa/inet.h>

#include <string>

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsNameChar(char c)
{
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
}

bool IsAddress(int family, std::string_view text)
{
    // The C library reads up to the first NUL: "::\0anything" must not pass as "::".
    if (text.find('\0') != std::string_view::npos)
        return false;
    unsigned char bytes[16];
    return inet_pton(family, std::string(text).c_str(), bytes) == 1;
}

} // namespace

bool IsConnectableHost(std::string_view host)
{
    if (host.empty() || host.size() > 253)
        return false;
    if (host.find(':') != std::string_view::npos)
        return IsAddress(AF_INET6, host);
    std::string_view name = host;
    if (name.back() == '.')
        name.remove_suffix(1);
    std::size_t labelStart = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '.') {
            if (i == labelStart)
                return false; // an empty label
            labelStart = i + 1;
        } else if (!IsNameChar(name[i])) {
            return false;
        }
    }
    // A last label that is a number (or "0x...") makes the whole text an IPv4 address for the
    // C library: only the plain dotted form is taken, so it means what it shows.
    const std::string_view last = name.substr(name.rfind('.') == std::string_view::npos
                                                  ? 0 : name.rfind('.') + 1);
    bool numeric = true;
    for (char c : last)
        numeric = numeric && IsDigit(c);
    if (numeric || (last.size() > 1 && last[0] == '0' && (last[1] == 'x' || last[1] == 'X')))
        return IsAddress(AF_INET, name);
    return true;
}

std::string_view BracketedAddress(std::string_view text, std::string_view& rest)
{
    rest = std::string_view();
    if (text.empty() || text.front() != '[')
        return {};
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos)
        return {};
    const std::string_view inside = text.substr(1, close - 1);
    if (!IsAddress(AF_INET6, inside))
        return {};
    rest = text.substr(close + 1);
    return inside;
}
