#include "tls/HostPatterns.h"

#include "http/AsciiCase.h"

#include <algorithm>

CHostPatterns::CHostPatterns(const std::string& list)
{
    std::string item;
    auto flush = [this, &item] {
        if (!item.empty())
            m_patterns.push_back(Normalize(item));
        item.clear();
    };
    for (const char c : list) {
        if (c == ',' || c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n')
            flush();
        else
            item += c;
    }
    flush();
}

std::string CHostPatterns::Normalize(const std::string& host)
{
    std::string name = host;
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    while (!name.empty() && name.back() == '.')
        name.pop_back();
    return LowerAscii(name);
}

bool CHostPatterns::Matches(const std::string& host) const
{
    const std::string name = Normalize(host);
    for (const std::string& pattern : m_patterns) {
        if (pattern.size() > 2 && pattern.compare(0, 2, "*.") == 0) {
            const std::size_t suffix = pattern.size() - 1; // ".example.com"
            if (name.size() > suffix && name.compare(name.size() - suffix, suffix, pattern, 1) == 0)
                return true;
        } else if (pattern == "*" || pattern == name) {
            return true;
        }
    }
    return false;
}
