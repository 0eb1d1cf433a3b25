#pragma once
#include <cstddef>
#include <string>

enum class HelloSniff {
    NeedMore, // too few bytes to tell yet
    Tls,      // a TLS handshake record holding a ClientHello
    NotTls,   // anything else: tunnelled as it is
};

// Looks at the first bytes a browser sends into a tunnel: a TLS record of type 22 (handshake),
// version 3.x, whose first message is of type 1 (ClientHello).
HelloSniff SniffClientHello(const char* data, std::size_t size);

// What the ClientHello at the start of a tunnel says. It may be spread over several handshake
// records: they are joined until the whole message is there.
enum class HelloRead {
    NeedMore,  // the message has not arrived whole yet
    Complete,  // read to its end; serverName is its SNI host name, empty when it has none
    Malformed, // not a ClientHello that can be read (or longer than kMaxClientHello)
};
inline constexpr std::size_t kMaxClientHello = 65536; // the message, its 4-byte header included

HelloRead ReadClientHello(const char* data, std::size_t size, std::string& serverName);
