#include "proxy/UpstreamAddress.h"

#include <QByteArray>

namespace {

bool HasHeaderLine(std::string_view header, std::string_view lowerName)
{
    std::size_t at = header.find('\n');
    while (at != std::string_view::npos && at + 1 < header.size()) {
        const std::string_view line = header.substr(at + 1);
        bool same = line.size() > lowerName.size() && line[lowerName.size()] == ':';
        for (std::size_t i = 0; same && i < lowerName.size(); ++i) {
            const char c = line[i];
            same = (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) == lowerName[i];
        }
        if (same)
            return true;
        at = header.find('\n', at + 1);
    }
    return false;
}

} // namespace

CUpstreamAddress SplitUpstreamAddress(std::string_view text)
{
    CUpstreamAddress result;
    std::string_view host = text;
    const std::size_t at = text.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view userInfo = text.substr(0, at);
        host = text.substr(at + 1);
        const std::size_t colon = userInfo.find(':');
        result.user = std::string(userInfo.substr(0, colon));
        if (colon != std::string_view::npos) {
            result.hasPassword = true;
            result.password = std::string(userInfo.substr(colon + 1));
        }
    }
    result.shown = result.user.empty() ? std::string(host) : result.user + "@" + std::string(host);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    result.host = std::string(host);
    return result;
}

bool AddProxyAuthorization(std::string& header, const std::string& user, const std::string& password)
{
    if (user.empty() || HasHeaderLine(header, "proxy-authorization"))
        return false;
    const std::size_t end = header.rfind("\r\n\r\n");
    if (end == std::string::npos)
        return false;
    const QByteArray token = QByteArray::fromStdString(user + ":" + password).toBase64();
    header.insert(end + 2, "Proxy-Authorization: Basic " + token.toStdString() + "\r\n");
    return true;
}

bool IsProxyAuthenticationRequired(std::string_view answer)
{
    // "HTTP/1.x 407" and whatever reason follows.
    return answer.size() >= 12 && answer.substr(0, 7) == "HTTP/1." && answer.substr(8, 4) == " 407";
}
