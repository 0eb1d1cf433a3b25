#include "proxy/UpstreamAddress.h"

#include "http/AsciiCase.h"
#include "http/HttpHead.h"

#include <QByteArray>

#include <algorithm>

namespace {

bool HasField(std::string_view header, std::string_view name)
{
    const SHttpHead head = ParseHttpHead(header);
    return std::any_of(
        head.fields.begin(), head.fields.end(),
        [name](const SHttpHead::SField& field) { return EqualsNoCase(field.name, name); });
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
    if (user.empty() || HasField(header, "Proxy-Authorization"))
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
