// Any bytes as the first bytes of a tunnel: the sniffer and the ClientHello reader must stay
// inside the buffer and agree with each other, a decision once made must hold as more bytes
// come, and a hello read across several records must read as the same hello in one record.
#include "tls/ClientHello.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The records' payloads up to the message's end, as one record; empty when that would not fit.
std::string AsOneRecord(const unsigned char* bytes, std::size_t size)
{
    std::string message;
    for (std::size_t at = 0; at + 5 <= size;) {
        const std::size_t length = (std::size_t{bytes[at + 3]} << 8) | bytes[at + 4];
        message.append(reinterpret_cast<const char*>(bytes + at + 5),
                       std::min(length, size - at - 5));
        at += 5 + length;
    }
    const std::size_t messageSize = 4
                                    + ((std::size_t{static_cast<unsigned char>(message[1])} << 16)
                                       | (std::size_t{static_cast<unsigned char>(message[2])} << 8)
                                       | static_cast<unsigned char>(message[3]));
    if (messageSize > 16384 || message.size() < messageSize)
        return {};
    message.resize(messageSize);
    return std::string("\x16\x03\x01", 3) + static_cast<char>(messageSize >> 8)
           + static_cast<char>(messageSize & 0xFF) + message;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto* bytes = reinterpret_cast<const char*>(data);
    const HelloSniff sniff = SniffClientHello(bytes, size);
    std::string name;
    const HelloRead read = ReadClientHello(bytes, size, name);
    bool ok = (sniff != HelloSniff::NeedMore || size < 6)
              && (sniff != HelloSniff::NeedMore || read == HelloRead::NeedMore)
              && (sniff != HelloSniff::NotTls || read == HelloRead::Malformed)
              && (name.empty() || read == HelloRead::Complete);
    if (size > 0) {
        std::string before;
        const HelloRead earlier = ReadClientHello(bytes, size - 1, before);
        ok = ok && (earlier == HelloRead::NeedMore || (earlier == read && before == name));
    }
    if (read == HelloRead::Complete) {
        const std::string joined = AsOneRecord(data, size);
        std::string again;
        ok = ok
             && (joined.empty()
                 || (ReadClientHello(joined.data(), joined.size(), again) == HelloRead::Complete
                     && again == name));
    }
    if (!ok) {
        std::fprintf(stderr, "invariant broken\n");
        std::abort();
    }
    return 0;
}
