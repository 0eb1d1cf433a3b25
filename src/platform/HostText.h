#pragma once
#include <string_view>

// What a host text in a request or a setting may be before anything connects to it: a name
// (letters, digits, "-", "_" and dots), a dotted IPv4 address written out in full (four decimal
// parts), or an IPv6 address. Anything else is refused, in particular the C library's numeric
// shorthands ("1", "127.1", "0x7f.1", "0177.0.0.1"), which name an address other than the one
// the text seems to show.
bool IsConnectableHost(std::string_view host);

// The IPv6 address inside "[...]", or an empty view when the text is no bracketed IPv6 literal.
// `rest` gets what follows the "]".
std::string_view BracketedAddress(std::string_view text, std::string_view& rest);
