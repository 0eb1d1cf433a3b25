#pragma once
#include <string>
#include <string_view>

// Puts a carriage return before every line feed that is not already preceded by one (a line
// feed at the very start always gets one). Nothing is removed; every byte keeps its order.
std::string FixCarriageReturns(std::string_view text);
