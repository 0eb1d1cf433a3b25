#include "ui/viewers/ExchangeCells.h"

#include "http/AsciiCase.h"
#include "trace/Exchange.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <ctime>

std::string_view ExchangePath(const CExchange& exchange)
{
    std::string_view target = exchange.m_strTarget;
    if (IsTunnelRow(exchange))
        return std::string_view();
    const std::size_t scheme = target.find("://");
    if (scheme != std::string_view::npos && target.find('/') > scheme) {
        target.remove_prefix(scheme + 3);
        const std::size_t end = target.find_first_of("/?");
        target = end == std::string_view::npos ? std::string_view() : target.substr(end);
    }
    return target.empty() ? std::string_view("/") : target;
}

std::string_view ExchangeMimeType(const CExchange& exchange)
{
    std::string_view type = exchange.ResponseField("Content-Type");
    type = type.substr(0, type.find(';'));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t'))
        type.remove_suffix(1);
    while (!type.empty() && (type.front() == ' ' || type.front() == '\t'))
        type.remove_prefix(1);
    return type;
}

std::int64_t ExchangeDurationUs(const CExchange& exchange)
{
    if (exchange.IsOpen() || exchange.m_Times.ended < exchange.m_Times.started)
        return -1;
    return exchange.m_Times.ended - exchange.m_Times.started;
}

std::string ExchangeStartedText(const CExchange& exchange)
{
    const std::int64_t us = exchange.m_Times.started;
    const std::time_t seconds = static_cast<std::time_t>(us / 1'000'000);
    std::tm local{};
    if (us <= 0 || !localtime_r(&seconds, &local))
        return std::string();
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(us / 1000 % 1000));
    return text;
}

std::string GroupedNumber(std::uint64_t number)
{
    std::string digits = std::to_string(number);
    for (std::size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, 1, ',');
    return digits;
}

bool IsTunnelRow(const CExchange& exchange)
{
    return exchange.Has(kExchangeTunnel);
}

std::vector<int> RowsLastFirst(std::vector<int> rows, std::size_t count)
{
    std::erase_if(rows, [count](int row) { return row < 0 || static_cast<std::size_t>(row) >= count; });
    std::sort(rows.begin(), rows.end(), std::greater<>());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}
