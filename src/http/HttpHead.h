#pragma once
#include <cstddef>
#include <string_view>
#include <vector>

#include "http/AsciiCase.h"
#include "http/FieldLine.h"
#include "http/HeaderFunctions.h"

// A message head as bytes hold it: its first line, its fields, and where it ends.
struct SHttpHead {
    struct SField {
        std::string_view name;
        std::string_view value; // without surrounding blanks
    };
    std::string_view firstLine; // without its line end
    std::vector<SField> fields;
    std::size_t size = 0;       // bytes through the blank line; the whole text when it has none
    bool complete = false;      // the blank line was found

    // The first field of that name (ASCII case ignored); empty when there is none.
    std::string_view Field(std::string_view name) const;
};
// The head ends where HeaderEndOffset finds its end; lines end at LF, one CR before it dropped.
SHttpHead ParseHttpHead(std::string_view text);
// Calls f(name, value) for each field ParseHttpHead lists, in order, without building the list.
template <typename F> void ForEachHeadField(std::string_view text, F f)
{
    // One pass: the head ends at the first line after the first that holds only CRs and has
    // its LF, which is where HeaderEndOffset finds the end.
    std::string_view rest = text;
    bool first = true;
    while (!rest.empty()) {
        const std::size_t lf = rest.find('\n');
        std::string_view line = rest.substr(0, lf);
        rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
        if (!first && lf != std::string_view::npos
            && line.find_first_not_of('\r') == std::string_view::npos)
            return;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (first) {
            first = false;
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && colon != 0)
            f(TrimAscii(line.substr(0, colon), " \t\r"), TrimAscii(line.substr(colon + 1), " \t\r"));
    }
}
// The value of the first field of that name in a header text, without building the field list.
std::string_view FindHeaderField(std::string_view text, std::string_view name);

// "METHOD target HTTP/x.y"; false for anything else.
struct SRequestLine {
    std::string_view method;
    std::string_view target;
    std::string_view version;
};
bool ParseRequestLine(std::string_view line, SRequestLine& out);

// The status code of "HTTP/x.y NNN reason"; -1 for anything else.
int ParseStatusCode(std::string_view line);

// What makes one field line invalid (RFC 9112 sections 2.2 and 5.1): the line is given
// without its LF and without one CR before it.
enum class EFieldLineFault {
    None,
    BareCr,     // a CR not followed by LF
    Whitespace, // the line starts with SP or HTAB: an obs-fold, or space before the first field
    NoColon,    // no field at all
    BadName,    // an empty name, or a byte that is no token character (NUL, controls, blanks)
};
EFieldLineFault FieldLineFault(std::string_view line);
// The colon of a field line as most are, a token name and its colon with no CR anywhere (so
// without fault); npos for any other line, which only FieldLineFault reads in full.
std::size_t PlainFieldColon(std::string_view line);
// The same, telling where the first colon is (npos for none).
EFieldLineFault FieldLineFault(std::string_view line, std::size_t& colon);

// Why a request head (through its blank line) may not be passed on: a bare CR anywhere, an
// invalid field line, or Transfer-Encoding in an HTTP/1.0 request (RFC 9112 section 6.1).
// nullptr when nothing is wrong with it. Lower-case or unknown methods, odd but valid field
// names and bare LF line ends are no fault.
const char* RequestHeadFault(std::string_view header);
// The same, telling each field of the head to field(context, name, value) as it passes (the
// value without blanks around it), up to a fault.
using FieldSink = void (*)(void* context, std::string_view name, std::string_view value);
const char* RequestHeadFault(std::string_view header, FieldSink field, void* context);
