#include "session/ProxyCredentials.h"

#include "http/AsciiCase.h"

namespace {
constexpr std::string_view kField = "Proxy-Authorization:";
} // namespace

bool ProxyCredentials::Hide(std::string_view head, std::string& out)
{
    bool found = false;
    std::size_t copied = 0; // head bytes already in out
    for (std::size_t line = 0; line < head.size();) {
        std::size_t end = head.find('\n', line);
        end = end == std::string_view::npos ? head.size() : end;
        // Most lines fail on their first letter, before the whole name is compared.
        if (head.size() - line >= kField.size() && (head[line] | 0x20) == 'p'
            && EqualsNoCase(head.substr(line, kField.size()), kField)) {
            if (!found)
                out.clear();
            found = true;
            // The line's CR, if any, stays with its end.
            std::size_t valueEnd = end;
            if (valueEnd > line && head[valueEnd - 1] == '\r')
                --valueEnd;
            out.append(head.substr(copied, line + kField.size() - copied));
            out.push_back(' ');
            out.append(kHidden);
            copied = valueEnd;
        }
        line = end + 1;
    }
    if (found)
        out.append(head.substr(copied));
    return found;
}
