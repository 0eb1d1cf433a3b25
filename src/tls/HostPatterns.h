#pragma once
#include <string>
#include <vector>

// A list of hosts as the user typed it: names or addresses separated by commas, semicolons or
// white space; "*.example.com" stands for every name below example.com (not example.com itself).
// Matching ignores case, a trailing dot and the brackets of an IPv6 address.
class CHostPatterns {
public:
    CHostPatterns() = default;
    explicit CHostPatterns(const std::string& list);

    bool IsEmpty() const { return m_patterns.empty(); }
    bool Matches(const std::string& host) const;

    // The host as matched and remembered: lower case, no trailing dot, no brackets.
    static std::string Normalize(const std::string& host);

private:
    std::vector<std::string> m_patterns;
};
