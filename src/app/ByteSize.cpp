#include "app/ByteSize.h"

#include "http/AsciiCase.h"

#include <charconv>

std::optional<std::uint64_t> ByteSize::ParseBudget(std::string_view text)
{
    text = TrimAscii(text, " \t");
    std::uint64_t number = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (ec != std::errc() || end == text.data())
        return std::nullopt;
    // "512M", "512 MiB", "512mb".
    std::string unit =
        LowerAscii(TrimAscii(text.substr(static_cast<std::size_t>(end - text.data())), " \t"));
    for (const char* suffix : {"ib", "b"}) {
        if (unit.size() > 1 && unit.ends_with(suffix)) {
            unit.resize(unit.size() - std::string_view(suffix).size());
            break;
        }
    }
    int shift = 0;
    if (unit == "k")
        shift = 10;
    else if (unit == "m")
        shift = 20;
    else if (unit == "g")
        shift = 30;
    else if (!unit.empty())
        return std::nullopt;
    if (number > (kMaxBudget >> shift))
        return std::nullopt;
    number <<= shift;
    if (number < kMinBudget)
        return std::nullopt;
    return number;
}

std::string ByteSize::Format(std::uint64_t bytes)
{
    for (const auto& [shift, unit] : {std::pair{30, 'G'}, std::pair{20, 'M'}, std::pair{10, 'K'}}) {
        if (bytes != 0 && bytes % (1ull << shift) == 0)
            return std::to_string(bytes >> shift) + unit;
    }
    return std::to_string(bytes);
}
