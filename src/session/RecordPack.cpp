#include "session/RecordPack.h"

#include "session/PackNumbers.h"

#include <climits>
#include <iterator>

namespace {
// The flags byte of a record.
constexpr std::uint8_t kReceived = 1, kBody = 2, kBinary = 4, kSsl = 8, kHeaderIncomplete = 16;
constexpr std::uint8_t kAllFlags = 31;
// The fewest bytes a record takes: a byte per number, four for elapsed, no byte strings.
constexpr std::size_t kSmallestRecord = 18;

// A record's numbers: at most 15 of 10 bytes and a byte.
using CNumbers = CPackNumbers<160>;

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
