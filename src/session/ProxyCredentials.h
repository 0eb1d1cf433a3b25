#pragma once
#include <string>
#include <string_view>

// What a session file keeps of a request head: everything but the value of its
// Proxy-Authorization field, which carries the upstream proxy's user and password (added by the
// relay, or typed into the browser).
namespace ProxyCredentials {
inline constexpr std::string_view kHidden = "(not recorded)";
// The head with every Proxy-Authorization value replaced by kHidden; true when there was one
// (`out` is only written then).
bool Hide(std::string_view head, std::string& out);
} // namespace ProxyCredentials
