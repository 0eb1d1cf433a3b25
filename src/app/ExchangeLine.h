#pragma once
#include <string>

class CExchange;

// One finished exchange as one line of JSON, for --exchanges: the feed a log shipper carries
// to a shared store. Keys never change meaning; new ones may be added:
// id, browser_connection, server_connection, started, ended (UTC, microseconds), method, url,
// scheme, host, port, status, reason, request {head_bytes, body_bytes}, response {head_bytes,
// body_bytes, decoded_bytes where known, unexpected_bytes}, timings (milliseconds: blocked,
// dns, connect, ssl, send, wait, receive, total; -1: did not happen), end, end_reason, flags.
std::string FormatExchangeLine(const CExchange& exchange);
