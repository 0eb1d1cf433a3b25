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

// The server name (SNI) of the ClientHello at the start of data when the whole message is in its
// first record: the name, or empty when there is none or the record is incomplete or malformed.
// complete tells whether the first record has arrived whole.
std::string FindServerName(const char* data, std::size_t size, bool* complete = nullptr);
