#pragma once
#include <string>
#include <string_view>

// The upstream proxy's address as the user gives it: [user[:password]@]host, the host being a
// name, an IPv4 address or an IPv6 address in brackets.
struct CUpstreamAddress {
    std::string user;
    std::string password;
    bool hasPassword = false; // a ":" followed the user (the password may be empty)
    std::string host;         // what to connect to: no user, no brackets
    std::string shown;        // [user@]host as the labels show it and the settings keep it
};

CUpstreamAddress SplitUpstreamAddress(std::string_view text);

// Adds "Proxy-Authorization: Basic ..." at the end of a header that goes to the upstream proxy
// (a request, or a CONNECT), unless the header already has a Proxy-Authorization line of its
// own, which then passes unchanged, or no user is given. The header ends in its blank line.
// True when a line was added.
bool AddProxyAuthorization(std::string& header, const std::string& user, const std::string& password);

// Whether an answer (its first bytes) from the upstream is "407 Proxy Authentication Required".
bool IsProxyAuthenticationRequired(std::string_view answer);
