#pragma once
#include <cstddef>
#include <string_view>
#include <vector>

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
SHttpHead ParseHttpHead(std::string_view text);
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
