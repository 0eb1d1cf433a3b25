#include "tls/ClientHello.h"

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

std::string FindServerName(const char* data, std::size_t size, bool* complete)
{
    if (complete)
        *complete = false;
    if (SniffClientHello(data, size) != HelloSniff::Tls)
        return {};
    CReader record(reinterpret_cast<const unsigned char*>(data), size);
    record.Skip(3);
    const unsigned length = record.Number(2);
    if (record.Left() < length)
        return {};
    if (complete)
        *complete = true;
    CReader body = record.Sub(length);
    body.Skip(1); // message type
    CReader hello = body.Sub(body.Number(3));
    hello.Skip(2 + 32);            // client version, random
    hello.Skip(hello.Number(1));   // session id
    hello.Skip(hello.Number(2));   // cipher suites
    hello.Skip(hello.Number(1));   // compression methods
    CReader extensions = hello.Sub(hello.Number(2));
    while (extensions.Ok() && extensions.Left() >= 4) {
        const unsigned type = extensions.Number(2);
        CReader extension = extensions.Sub(extensions.Number(2));
        if (type != kServerNameExtension)
            continue;
        CReader names = extension.Sub(extension.Number(2));
        while (names.Ok() && names.Left() >= 3) {
            const unsigned kind = names.Number(1);
            const unsigned nameSize = names.Number(2);
            const unsigned char* name = names.Here();
            names.Skip(nameSize);
            if (names.Ok() && kind == 0)
                return std::string(reinterpret_cast<const char*>(name), nameSize);
        }
        return {};
    }
    return {};
}
