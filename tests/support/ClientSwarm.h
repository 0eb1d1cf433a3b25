#pragma once
#include <cstddef>
#include <functional>
#include <string>

// Many browsers, driven from the calling thread with non-blocking sockets: connection i sends
// request(i) to 127.0.0.1:port and reads until the peer closes; check(i, reply) judges what it
// got. At most `concurrency` connections are open at a time. Source addresses cycle over
// 127.0.0.1 to 127.0.0.250, so long runs do not run out of loopback port pairs.
struct ClientSwarm {
    std::function<std::string(std::size_t)> request;
    std::function<bool(std::size_t, const std::string&)> check;
    std::size_t concurrency = 16;
    // Hold every request but its first byte until all `concurrency` connections of a wave are
    // open, so that that many are open at the proxy at once (a listener may hand a connection
    // over only once bytes have come); and, when given, until released() says the other side
    // has them all.
    bool sendTogether = false;
    std::function<bool()> released;
    int timeoutMs = 60000;

    struct Result {
        std::size_t good = 0;     // replies that passed the check
        std::size_t bad = 0;      // replies that did not
        std::size_t failed = 0;   // connections that could not be made or failed
        std::size_t unfinished = 0; // still open when the time ran out
    };
    Result Run(int port, std::size_t count) const;
};

// The number of open file descriptors of this process.
int OpenFileDescriptors();

// Raises the soft limit on open files to at least n (within the hard limit); true when the
// limit is now at least n.
bool RaiseFileLimit(std::size_t n);
