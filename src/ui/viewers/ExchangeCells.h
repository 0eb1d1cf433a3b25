#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CExchange;

// What the Exchanges page shows of one exchange, read from it without copies where it can:
// every row of a million is asked for these while it sorts and filters.

// The path and query of the request, as a view into its target ("/" when it names none).
std::string_view ExchangePath(const CExchange& exchange);
// The response's MIME type without parameters, lower case as sent ("" when none).
std::string_view ExchangeMimeType(const CExchange& exchange);
// Microseconds from the request's start to the response's end; -1 while it is open.
std::int64_t ExchangeDurationUs(const CExchange& exchange);
// The clock time the request started, "HH:MM:SS.mmm" local.
std::string ExchangeStartedText(const CExchange& exchange);
// A count of bytes with a comma between thousands ("16,777,216").
std::string GroupedNumber(std::uint64_t number);
// An undecrypted CONNECT tunnel: a row of bytes only.
bool IsTunnelRow(const CExchange& exchange);
// Rows to take out of a table of `count`: each once, those in range, last first (so that
// removing one leaves the numbers of the others as they were).
std::vector<int> RowsLastFirst(std::vector<int> rows, std::size_t count);
