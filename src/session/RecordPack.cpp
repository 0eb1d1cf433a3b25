#include "session/RecordPack.h"

#include <climits>
#include <iterator>

namespace {
// The flags byte of a record.
constexpr std::uint8_t kReceived = 1, kBody = 2, kBinary = 4, kSsl = 8, kHeaderIncomplete = 16;
constexpr std::uint8_t kAllFlags = 31;
// The fewest bytes a record takes: a byte per number, four for elapsed, no byte strings.
constexpr std::size_t kSmallestRecord = 18;

// Numbers go into a small buffer first: one append per record rather than one per byte.
class CNumbers {
public:
    void Put(std::uint64_t value)
    {
        while (value >= 0x80) {
            m_Bytes[m_nSize++] = static_cast<char>((value & 0x7f) | 0x80);
            value >>= 7;
        }
        m_Bytes[m_nSize++] = static_cast<char>(value);
    }
    // Signed numbers by zigzag: small of either sign stay short.
    void PutSigned(std::int64_t value)
    {
        Put((static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63));
    }
    void PutByte(std::uint8_t byte) { m_Bytes[m_nSize++] = static_cast<char>(byte); }
    // Little-endian, four bytes whatever the value: it can be written over in place.
    void PutFixed32(std::uint32_t value)
    {
        for (int i = 0; i < 4; ++i, value >>= 8)
            PutByte(static_cast<std::uint8_t>(value & 0xff));
    }
    std::string_view View() const { return {m_Bytes, m_nSize}; }

private:
    char m_Bytes[160]; // a record's numbers: at most 15 of 10 bytes and a byte
    std::size_t m_nSize = 0;
};

// Reads what the pack holds, never past its end.
class CPackReader {
public:
    explicit CPackReader(std::string_view bytes) : m_Bytes(bytes) {}

    bool AtEnd() const { return m_nAt == m_Bytes.size(); }

    bool Number(std::uint64_t& value)
    {
        value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (m_nAt == m_Bytes.size())
                return false;
            const auto byte = static_cast<unsigned char>(m_Bytes[m_nAt++]);
            value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return shift < 63 || byte <= 1; // the tenth byte carries one bit
        }
        return false;
    }
    // A number no larger than max.
    template <typename T> bool Number(T& value, std::uint64_t max)
    {
        std::uint64_t read = 0;
        if (!Number(read) || read > max)
            return false;
        value = static_cast<T>(read);
        return true;
    }
    bool Signed(std::int64_t& value)
    {
        std::uint64_t read = 0;
        if (!Number(read))
            return false;
        value = static_cast<std::int64_t>(read >> 1) ^ -static_cast<std::int64_t>(read & 1);
        return true;
    }
    bool Bytes(std::uint64_t size, std::string_view& bytes)
    {
        if (size > m_Bytes.size() - m_nAt)
            return false;
        bytes = m_Bytes.substr(m_nAt, static_cast<std::size_t>(size));
        m_nAt += static_cast<std::size_t>(size);
        return true;
    }
    bool Fixed32(std::int32_t& value)
    {
        if (m_Bytes.size() - m_nAt < 4)
            return false;
        std::uint32_t read = 0;
        for (int i = 3; i >= 0; --i)
            read = read << 8 | static_cast<unsigned char>(m_Bytes[m_nAt + static_cast<std::size_t>(i)]);
        m_nAt += 4;
        value = static_cast<std::int32_t>(read);
        return true;
    }
    bool Byte(std::uint8_t& byte)
    {
        if (m_nAt == m_Bytes.size())
            return false;
        byte = static_cast<std::uint8_t>(m_Bytes[m_nAt++]);
        return true;
    }

private:
    std::string_view m_Bytes;
    std::size_t m_nAt = 0;
};

bool UnpackOne(CPackReader& in, std::int64_t& row, std::int64_t& captured,
               RecordPack::SRecord& r)
{
    std::uint64_t step = 0;
    std::uint8_t flags = 0;
    std::int64_t capturedStep = 0;
    if (!in.Number(step) || step == 0 || step > static_cast<std::uint64_t>(INT64_MAX - row)
        || !in.Number(r.connection, INT_MAX) || r.connection < 1
        || !in.Number(r.sequence, INT_MAX) || r.sequence < 1 || !in.Byte(flags)
        || (flags & ~kAllFlags) != 0 || !in.Number(r.bytes, INT32_MAX)
        || !in.Number(r.startTick, UINT32_MAX) || !in.Number(r.endTick, UINT32_MAX)
        || !in.Fixed32(r.elapsed)
        || !in.Signed(capturedStep) || !in.Number(r.exchange, INT64_MAX))
        return false;
    std::string_view* strings[] = {&r.header, &r.text, &r.contentType, &r.charset, &r.origin};
    std::uint64_t sizes[std::size(strings)] = {};
    for (std::uint64_t& size : sizes) {
        if (!in.Number(size))
            return false;
    }
    for (std::size_t i = 0; i < std::size(strings); ++i) {
        if (!in.Bytes(sizes[i], *strings[i]))
            return false;
    }
    row += static_cast<std::int64_t>(step);
    captured = static_cast<std::int64_t>(static_cast<std::uint64_t>(captured)
                                         + static_cast<std::uint64_t>(capturedStep));
    r.row = row;
    r.captured = captured;
    r.direction = (flags & kReceived) ? 1 : 0;
    r.part = (flags & kBody) ? 2 : 1;
    r.binary = flags & kBinary;
    r.ssl = flags & kSsl;
    r.headerIncomplete = flags & kHeaderIncomplete;
    return true;
}
} // namespace

RecordPack::SRecord RecordPack::View(const STraceRecordFields& f)
{
    SRecord r;
    r.connection = f.connectionId;
    r.sequence = f.sequence;
    r.direction = static_cast<std::uint8_t>(f.direction);
    r.part = static_cast<std::uint8_t>(f.part);
    r.binary = f.binary;
    r.ssl = f.ssl;
    r.headerIncomplete = f.headerIncomplete;
    r.bytes = f.bytes;
    r.startTick = f.startTick;
    r.endTick = f.endTick;
    r.elapsed = f.elapsed;
    r.captured = static_cast<std::int64_t>(f.captured);
    r.exchange = static_cast<std::int64_t>(f.exchange);
    r.header = f.header;
    r.text = f.text;
    r.contentType = f.contentType;
    r.charset = f.charset;
    r.origin = f.origin;
    return r;
}

std::size_t RecordPack::Append(const SRecord& r, std::int64_t previousRow,
                               std::int64_t previousCaptured, std::string& packed)
{
    CNumbers n;
    n.Put(static_cast<std::uint64_t>(r.row - previousRow));
    n.Put(static_cast<std::uint32_t>(r.connection));
    n.Put(static_cast<std::uint32_t>(r.sequence));
    n.PutByte((r.direction == static_cast<std::uint8_t>(ETraceDirection::Received) ? kReceived : 0)
              | (r.part == static_cast<std::uint8_t>(ETracePart::Body) ? kBody : 0)
              | (r.binary ? kBinary : 0) | (r.ssl ? kSsl : 0)
              | (r.headerIncomplete ? kHeaderIncomplete : 0));
    n.Put(static_cast<std::uint32_t>(r.bytes));
    n.Put(r.startTick);
    n.Put(r.endTick);
    const std::size_t elapsedAt = packed.size() + n.View().size();
    n.PutFixed32(static_cast<std::uint32_t>(r.elapsed));
    n.PutSigned(static_cast<std::int64_t>(static_cast<std::uint64_t>(r.captured)
                                          - static_cast<std::uint64_t>(previousCaptured)));
    n.Put(static_cast<std::uint64_t>(r.exchange));
    // The byte strings' lengths with the numbers, then their bytes: one append for all the
    // numbers, one per byte string that has any.
    const std::string_view strings[] = {r.header, r.text, r.contentType, r.charset, r.origin};
    for (const std::string_view bytes : strings)
        n.Put(bytes.size());
    packed.append(n.View());
    for (const std::string_view bytes : strings) {
        if (!bytes.empty())
            packed.append(bytes);
    }
    return elapsedAt;
}

void RecordPack::SetElapsed(std::string& packed, std::size_t at, std::int32_t elapsed)
{
    auto value = static_cast<std::uint32_t>(elapsed);
    for (std::size_t i = 0; i < 4; ++i, value >>= 8)
        packed[at + i] = static_cast<char>(value & 0xff);
}

bool RecordPack::Unpack(std::string_view packed, std::int64_t firstRow, std::int64_t lastRow,
                        std::int64_t count, std::vector<SRecord>& records, std::string& problem)
{
    records.clear();
    // A count beyond what the bytes can hold is not believed (nor is room made for it).
    if (count < 1 || firstRow < 1 || lastRow < firstRow
        || static_cast<std::uint64_t>(count) > packed.size() / kSmallestRecord) {
        problem = "a pack of records gives impossible rows or counts";
        return false;
    }
    records.reserve(static_cast<std::size_t>(count));
    CPackReader in(packed);
    std::int64_t row = firstRow - 1, captured = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        if (!UnpackOne(in, row, captured, records.emplace_back())) {
            problem = "a pack of records is cut short or holds values out of range";
            return false;
        }
    }
    if (!in.AtEnd() || records.front().row != firstRow || row != lastRow) {
        problem = "a pack of records does not hold the rows it names";
        return false;
    }
    return true;
}
