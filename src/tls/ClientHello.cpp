#include "tls/ClientHello.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr unsigned char kHandshakeRecord = 22;
constexpr unsigned char kClientHello = 1;
constexpr std::size_t kRecordHeader = 5;
constexpr unsigned kServerNameExtension = 0;

// Bounds-checked reading of big-endian fields; any read past the end marks the reader bad.
class CReader {
public:
    CReader(const unsigned char* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Ok() const { return m_ok; }
    std::size_t Left() const { return m_ok ? m_size - m_pos : 0; }
    unsigned Number(std::size_t bytes)
    {
        if (!Need(bytes))
            return 0;
        unsigned value = 0;
        for (std::size_t i = 0; i < bytes; ++i)
            value = (value << 8) | m_data[m_pos++];
        return value;
    }
    void Skip(std::size_t bytes)
    {
        if (Need(bytes))
            m_pos += bytes;
    }
    CReader Sub(std::size_t bytes)
    {
        if (!Need(bytes))
            return CReader(nullptr, 0, false);
        CReader sub(m_data + m_pos, bytes);
        m_pos += bytes;
        return sub;
    }
    const unsigned char* Here() const { return m_data + m_pos; }

private:
    CReader(const unsigned char* data, std::size_t size, bool ok) : m_data(data), m_size(size), m_ok(ok) {}
    bool Need(std::size_t bytes)
    {
        if (m_ok && m_size - m_pos >= bytes)
            return true;
        m_ok = false;
        return false;
    }
    const unsigned char* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

// A ClientHello is a few KiB; one split into more records than this is not read (and so
// never decrypted).
constexpr std::size_t kMaxHelloRecords = 256;
constexpr std::size_t kMaxRecordPayload = 16384;

// The first `want` payload bytes of the records in bytes[0, end).
std::string JoinPayloads(const unsigned char* bytes, std::size_t end, std::size_t want)
{
    std::string joined;
    for (std::size_t at = 0; at < end && joined.size() < want;) {
        const std::size_t length = (std::size_t{bytes[at + 3]} << 8) | bytes[at + 4];
        const std::size_t take = std::min(length, want - joined.size());
        joined.append(reinterpret_cast<const char*>(bytes + at + kRecordHeader), take);
        at += kRecordHeader + length;
    }
    return joined;
}

// The body of a ClientHello, field by field: false when any length does not add up, a
// server name is empty or given twice. name: its host name, empty when it has none.
bool ReadHelloBody(CReader hello, std::string& name)
{
    hello.Skip(2 + 32); // client version, random
    const unsigned sessionId = hello.Number(1);
    hello.Skip(sessionId);
    const unsigned suites = hello.Number(2);
    hello.Skip(suites);
    const unsigned compressions = hello.Number(1);
    hello.Skip(compressions);
    if (!hello.Ok() || sessionId > 32 || suites < 2 || suites % 2 != 0 || compressions < 1)
        return false;
    if (hello.Left() == 0)
        return true; // no extensions at all
    const unsigned extensionBytes = hello.Number(2);
    if (extensionBytes != hello.Left())
        return false;
    bool seen = false;
    while (hello.Ok() && hello.Left() > 0) {
        const unsigned type = hello.Number(2);
        CReader extension = hello.Sub(hello.Number(2));
        if (type != kServerNameExtension || !hello.Ok())
            continue;
        if (seen || extension.Number(2) != extension.Left() || extension.Left() == 0)
            return false;
        seen = true;
        while (extension.Ok() && extension.Left() > 0) {
            const unsigned kind = extension.Number(1);
            const unsigned size = extension.Number(2);
            const unsigned char* text = extension.Here();
            extension.Skip(size);
            if (!extension.Ok() || kind != 0)
                continue;
            if (size == 0 || !name.empty())
                return false;
            name.assign(reinterpret_cast<const char*>(text), size);
        }
        if (!extension.Ok())
            return false;
    }
    return hello.Ok();
}

} // namespace

HelloSniff SniffClientHello(const char* data, std::size_t size)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size && i < kRecordHeader + 1; ++i) {
        const bool fits = i == 0   ? bytes[0] == kHandshakeRecord
                          : i == 1 ? bytes[1] == 3
                          : i == 5 ? bytes[5] == kClientHello
                                   : true;
        if (!fits)
            return HelloSniff::NotTls;
    }
    return size < kRecordHeader + 1 ? HelloSniff::NeedMore : HelloSniff::Tls;
}

HelloRead ReadClientHello(const char* data, std::size_t size, std::string& serverName)
{
    serverName.clear();
    switch (SniffClientHello(data, size)) {
    case HelloSniff::NeedMore:
        return HelloRead::NeedMore;
    case HelloSniff::NotTls:
        return HelloRead::Malformed;
    case HelloSniff::Tls:
        break;
    }
    // The records are walked in place; the message is joined only once it is all there.
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    std::size_t payloads = 0;
    std::size_t messageSize = 0; // with its header, once the header has come
    std::size_t at = 0;
    for (std::size_t records = 0; messageSize == 0 || payloads < messageSize; ++records) {
        if (records == kMaxHelloRecords)
            return HelloRead::Malformed;
        if (size - at < kRecordHeader)
            return HelloRead::NeedMore;
        const std::size_t length = (std::size_t{bytes[at + 3]} << 8) | bytes[at + 4];
        if (bytes[at] != kHandshakeRecord || bytes[at + 1] != 3 || length == 0
            || length > kMaxRecordPayload)
            return HelloRead::Malformed;
        if (size - at - kRecordHeader < length)
            return HelloRead::NeedMore;
        payloads += length;
        at += kRecordHeader + length;
        if (messageSize == 0 && payloads >= 4) {
            const std::string message = JoinPayloads(bytes, at, 4);
            messageSize = 4
                          + ((std::size_t{static_cast<unsigned char>(message[1])} << 16)
                             | (std::size_t{static_cast<unsigned char>(message[2])} << 8)
                             | static_cast<unsigned char>(message[3]));
            if (messageSize > kMaxClientHello)
                return HelloRead::Malformed;
        }
    }
    const std::string message = JoinPayloads(bytes, at, messageSize);
    std::string name;
    if (!ReadHelloBody(
            CReader(reinterpret_cast<const unsigned char*>(message.data()) + 4, message.size() - 4),
            name))
        return HelloRead::Malformed;
    serverName = std::move(name);
    return HelloRead::Complete;
}
