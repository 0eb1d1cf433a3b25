// Any bytes as the first bytes of a tunnel: the sniffer and the server-name reader must stay
// inside the buffer, agree with each other and give a name that lies within the bytes.
#include "tls/ClientHello.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto* bytes = reinterpret_cast<const char*>(data);
    const HelloSniff sniff = SniffClientHello(bytes, size);
    bool complete = false;
    const std::string name = FindServerName(bytes, size, &complete);
    const bool ok = (sniff == HelloSniff::Tls || (name.empty() && !complete))
                    && (sniff != HelloSniff::NeedMore || size < 6)
                    && (name.empty() || std::string_view(bytes, size).find(name) != std::string_view::npos);
    if (!ok) {
        std::fprintf(stderr, "invariant broken\n");
        std::abort();
    }
    return 0;
}
