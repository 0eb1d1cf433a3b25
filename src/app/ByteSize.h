#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Sizes as users write them: bytes, or a number with K, M or G (powers of 1024; "KiB", "MB"
// and lower case read the same). Used for the memory budget.
namespace ByteSize {
// Smallest and largest memory budget accepted.
inline constexpr std::uint64_t kMinBudget = 1ull << 20;
inline constexpr std::uint64_t kMaxBudget = 1ull << 40;
// The bytes text names, or nothing for text that is not a size in [kMinBudget, kMaxBudget].
std::optional<std::uint64_t> ParseBudget(std::string_view text);
// The shortest exact text: "1G", "640M", "1536K", "1048577".
std::string Format(std::uint64_t bytes);
} // namespace ByteSize
