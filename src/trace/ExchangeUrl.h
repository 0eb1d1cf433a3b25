#pragma once
#include <string>
#include <string_view>

class CExchange;

// The exchange's URL (CExchange::Url) with every byte that is not printable ASCII (controls,
// NUL, space, DEL, bytes from 0x80) written as %XX: what the request asked for, byte for byte,
// in a form that survives JSON, a clipboard and a shell.
std::string PrintableUrl(const CExchange& exchange);
std::string PercentEncodeUnprintable(std::string_view text);
