#include "http/HttpHead.h"

#include "http/AsciiCase.h"

#include <algorithm>

namespace {

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

bool IsTokenChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
           || c == '_' || c == '.' || c == '!' || c == '~' || c == '*' || c == '+' || c == '#'
           || c == '$' || c == '%' || c == '&' || c == '^' || c == '`' || c == '|' || c == '\'';
}

} // namespace

std::string_view SHttpHead::Field(std::string_view name) const
{
    for (const SField& field : fields) {
        if (EqualsNoCase(field.name, name))
            return field.value;
    }
    return {};
}

SHttpHead ParseHttpHead(std::string_view text)
{
    SHttpHead head;
    std::size_t pos = 0;
    bool first = true;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        const bool lastLine = end == std::string_view::npos;
        if (lastLine)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        pos = lastLine ? end : end + 1;
        if (first) {
            head.firstLine = line;
            first = false;
            continue;
        }
        if (line.empty() && !lastLine) {
            head.complete = true;
            break;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            continue; // not a field: kept out of the list, still counted in the size
        head.fields.push_back({Trim(line.substr(0, colon)), Trim(line.substr(colon + 1))});
    }
    head.size = pos;
    return head;
}

std::string_view FindHeaderField(std::string_view text, std::string_view name)
{
    std::size_t pos = text.find('\n');
    while (pos != std::string_view::npos && pos + 1 < text.size()) {
        const std::size_t start = pos + 1;
        std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
        if (line.empty() || line == "\r")
            break; // the blank line ends the header
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && EqualsNoCase(Trim(line.substr(0, colon)), name))
            return Trim(line.substr(colon + 1));
        pos = end;
    }
    return {};
}

bool ParseRequestLine(std::string_view line, SRequestLine& out)
{
    const std::size_t space1 = line.find(' ');
    if (space1 == std::string_view::npos || space1 == 0)
        return false;
    const std::size_t space2 = line.rfind(' ');
    if (space2 <= space1 + 1)
        return false;
    const std::string_view method = line.substr(0, space1);
    const std::string_view version = line.substr(space2 + 1);
    if (!std::all_of(method.begin(), method.end(), IsTokenChar) || version.substr(0, 5) != "HTTP/")
        return false;
    out.method = method;
    out.target = line.substr(space1 + 1, space2 - space1 - 1);
    out.version = version;
    return true;
}

int ParseStatusCode(std::string_view line)
{
    const std::size_t space = line.find(' ');
    if (line.substr(0, 5) != "HTTP/" || space == std::string_view::npos || line.size() < space + 4)
        return -1;
    int code = 0;
    for (std::size_t i = space + 1; i < space + 4; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return -1;
        code = code * 10 + (line[i] - '0');
    }
    if (line.size() > space + 4 && line[space + 4] != ' ')
        return -1;
    return code;
}
