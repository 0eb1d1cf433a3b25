#include "trace/LogSaver.h"

#include "platform/MessageBox.h"
#include "trace/TraceStore.h"

#include <cstdio>
#include <string_view>

namespace {
constexpr std::string_view kHeaderLine =
    "\"Type\"\t\"ID1\"\t\"ID2\"\t\"Time\"\t\"Bytes\"\t\"Response Time\"\t\"Data\"\r\n";

std::string Trim(const std::string& text)
{
    constexpr const char* kBlanks = " \t\r\n\v\f";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return {};
    const std::size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool FileExists(const std::string& name)
{
    std::FILE* file = std::fopen(name.c_str(), "r");
    if (!file)
        return false;
    std::fclose(file);
    return true;
}

bool WriteHeaderLine(std::FILE* file)
{
    return std::fwrite(kHeaderLine.data(), 1, kHeaderLine.size(), file) == kHeaderLine.size() &&
           std::fflush(file) == 0;
}
} // namespace

bool SaveAndClear(CTraceStore& store, const std::string& logFileName,
                  const std::function<void()>& clearAllData)
{
    const std::string name = Trim(logFileName);
    if (name.empty()) {
        ShowMessageBox("Specify Log File Name");
        return false;
    }

    // A NUL byte would make the system open a file of a shorter name.
    std::FILE* file = nullptr;
    bool existed = false;
    if (name.find('\0') == std::string::npos) {
        existed = FileExists(name);
        file = std::fopen(name.c_str(), "a+");
    }
    if (!file) {
        ShowMessageBox("Could not open file: " + name);
        return false;
    }

    if (!existed && !WriteHeaderLine(file)) {
        std::fclose(file);
        ShowMessageBox("Could not write log file: " + name);
        return false;
    }

    bool written = store.WriteLog(file) != 0;
    if (std::fclose(file) != 0)
        written = false;

    if (!written) {
        ShowMessageBox("Error during log write command");
        return false;
    }

    if (clearAllData)
        clearAllData();
    else
        store.PurgeClosedConnections();
    ShowMessageBox("Kestrune written and cleared.");
    return true;
}
