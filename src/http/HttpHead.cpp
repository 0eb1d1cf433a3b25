#include "http/HttpHead.h"

#include "http/AsciiCase.h"
#include "http/FieldLine.h"
#include "http/HeaderFunctions.h"

#include <algorithm>
#include <array>
#include <cstring>


namespace {

std::string_view Trim(std::string_view text) { return TrimAscii(text, " \t\r"); }

bool AllTokenChars(std::string_view text)
{
    for (const char c : text) {
        if (!kTokenChars[static_cast<unsigned char>(c)])
            return false;
    }
    return true;
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

// Calls f(line, last) for each line of a head: cut at LF, one CR before the LF dropped; `last`
// for text after the last LF. Stops when f returns false.
template <typename F> void ForEachLine(std::string_view text, F f)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        const bool last = end == std::string_view::npos;
        if (last)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        if (!last && !line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        pos = last ? end : end + 1;
        if (!f(line, last))
            return;
    }
}

SHttpHead ParseHttpHead(std::string_view text)
{
    SHttpHead head;
    head.fields.reserve(16); // one allocation for a usual head, not one per doubling
    const std::size_t end = HeaderEndOffset(text);
    head.complete = end != 0;
    head.size = head.complete ? end : text.size();
    bool first = true;
    ForEachLine(text.substr(0, head.size), [&head, &first](std::string_view line, bool last) {
        if (last && !line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (first) {
            head.firstLine = line;
            first = false;
            return true;
        }
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && colon != 0)
            head.fields.push_back({Trim(line.substr(0, colon)), Trim(line.substr(colon + 1))});
        return true; // a line without a field is kept out of the list, still counted in the size
    });
    return head;
}

std::string_view FindHeaderField(std::string_view text, std::string_view name)
{
    std::string_view value;
    bool first = true;
    ForEachLine(text, [&](std::string_view line, bool) {
        if (first) {
            first = false;
            return true;
        }
        if (line.find_first_not_of('\r') == std::string_view::npos)
            return false; // the blank line ends the head, as HeaderEndOffset finds it
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !EqualsNoCase(Trim(line.substr(0, colon)), name))
            return true;
        value = Trim(line.substr(colon + 1));
        return false;
    });
    return value;
}

std::size_t PlainFieldColon(std::string_view line)
{
    std::size_t i = 0;
    while (i < line.size() && kTokenChars[static_cast<unsigned char>(line[i])])
        ++i;
    if (i == 0 || i == line.size() || line[i] != ':')
        return std::string_view::npos;
    // The name is tokens only: a CR can only be in the value.
    const std::string_view value = line.substr(i + 1);
    return std::memchr(value.data(), '\r', value.size()) ? std::string_view::npos : i;
}

EFieldLineFault FieldLineFault(std::string_view line, std::size_t& colon)
{
    colon = PlainFieldColon(line);
    if (colon != std::string_view::npos)
        return EFieldLineFault::None; // the usual line, read in one pass

    if (line.find('\r') != std::string_view::npos)
        return EFieldLineFault::BareCr;
    if (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
        return EFieldLineFault::Whitespace;
    colon = line.find(':');
    if (colon == std::string_view::npos)
        return EFieldLineFault::NoColon;
    const std::string_view name = line.substr(0, colon);
    if (name.empty() || !AllTokenChars(name))
        return EFieldLineFault::BadName;
    return EFieldLineFault::None;
}

EFieldLineFault FieldLineFault(std::string_view line)
{
    std::size_t colon = 0;
    return FieldLineFault(line, colon);
}

const char* RequestHeadFault(std::string_view header)
{
    return RequestHeadFault(header, nullptr, nullptr);
}

const char* RequestHeadFault(std::string_view header, FieldSink field, void* context)
{
    // The request line: what ForEachLine cuts first.
    std::size_t lf = header.find('\n');
    std::string_view line = header.substr(0, lf);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line.find('\r') != std::string_view::npos)
        return "a bare CR in the request line";
    const bool http10 = TrimAscii(line, " ").ends_with(" HTTP/1.0");
    const auto take = [&](std::string_view name, std::string_view value) -> const char* {
        if (http10 && EqualsNoCase(name, "transfer-encoding"))
            return "Transfer-Encoding in an HTTP/1.0 request";
        if (field)
            field(context, name, TrimAscii(value));
        return nullptr;
    };
    std::size_t pos = lf == std::string_view::npos ? header.size() : lf + 1;
    while (pos < header.size()) {
        const std::string_view rest = header.substr(pos);
        std::size_t colon = 0;
        std::size_t valueEnd = 0;
        if (const std::size_t plain = PlainFieldLine(rest, colon, valueEnd)) {
            // The usual line, read in one pass.
            if (const char* fault = take(rest.substr(0, colon), rest.substr(colon + 1, valueEnd - colon - 1)))
                return fault;
            pos += plain;
            continue;
        }
        // Any other line, cut as ForEachLine cuts it.
        lf = rest.find('\n');
        line = rest.substr(0, lf);
        if (lf != std::string_view::npos && !line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        pos = lf == std::string_view::npos ? header.size() : pos + lf + 1;
        if (line.empty())
            return nullptr; // the blank line
        switch (FieldLineFault(line, colon)) {
        case EFieldLineFault::None:
            break;
        case EFieldLineFault::BareCr:
            return "a bare CR in a field line";
        case EFieldLineFault::Whitespace:
            return "a field line that starts with whitespace";
        case EFieldLineFault::NoColon:
            return "a field line without a colon";
        case EFieldLineFault::BadName:
            return "a field name that is no token";
        }
        if (const char* fault = take(line.substr(0, colon), line.substr(colon + 1)))
            return fault;
    }
    return nullptr;
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
    if (!AllTokenChars(method) || version.substr(0, 5) != "HTTP/")
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
