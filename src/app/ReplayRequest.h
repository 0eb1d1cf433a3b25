#pragma once
#include "http/MessageFraming.h"

#include <cstdint>
#include <string>
#include <string_view>

class CExchange;

// One recorded request made ready to be sent again: the head the browser sent with an
// origin-form request line, its body, where it went, and what came back the first time.
struct SReplayRequest {
    std::uint64_t exchangeId = 0;
    std::string method;
    std::string url;
    bool https = false;
    std::string host; // the origin as routed (no brackets)
    std::uint16_t port = 0;
    std::string bytes;      // head and body, as they go on the wire
    int recordedStatus = 0; // 0: no answer was recorded
    bool recordedBodyKnown = false;
    std::uint64_t recordedBodyHash = 0;
    std::string skipReason; // not sent, and why
};

// The methods that may be repeated without asking: they change nothing at the origin.
bool IsSafeMethod(std::string_view method);

// The request of an exchange ready to be sent again; skipReason is set for one that cannot be
// (a tunnel, a body the capture did not keep whole, an unsafe method without allowUnsafe).
SReplayRequest MakeReplayRequest(const CExchange& exchange, bool allowUnsafe);

// A response body's hash, chunked coding taken off first, so that two answers with the same
// content compare equal however the origin cut its chunks. Fed piece by piece.
class CBodyHash {
public:
    explicit CBodyHash(bool chunked);
    void Add(std::string_view bytes);
    std::uint64_t Value() const { return m_nHash; }

private:
    void AddPlain(std::string_view bytes);

    bool m_bChunked;
    CBodyFramer m_Chunks;
    std::string m_Plain;                            // the last piece's data, reused
    std::uint64_t m_nHash = 1469598103934665603ull; // FNV-1a: equality, not secrecy
};
