#pragma once
#include <ctime>
#include <string>
#include <utility>
#include <vector>

// What a session file holds beside the trace itself: the description of the run (version,
// start, settings) and the debug lines in the order they came.
struct SSessionInfo {
    std::vector<std::pair<std::string, std::string>> run;
    struct SDebugLine {
        std::time_t captured = 0;
        std::string text;
    };
    std::vector<SDebugLine> debugLines;

    // The run's value for key; empty when it has none.
    std::string RunValue(const std::string& key) const
    {
        for (const auto& [k, v] : run) {
            if (k == key)
                return v;
        }
        return {};
    }
};
