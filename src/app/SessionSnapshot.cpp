#include "app/SessionSnapshot.h"

#include "app/CommandLine.h"
#include "app/SessionRun.h"
#include "app/TraceApp.h"
#include "session/SessionLock.h"
#include "session/SessionSaver.h"
#include "trace/TraceStore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {
// The debug lines the feed still holds, one per line as the Debug page shows them.
void AddDebugLines(const CTraceStore& store, SSessionInfo& info)
{
    const std::string text = store.TakeDebugText();
    const std::time_t now = std::time(nullptr);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        info.debugLines.push_back({now, text.substr(start, end - start)});
        start = end;
    }
}

void RemoveWithLog(const std::string& path)
{
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        std::remove((path + suffix).c_str());
}
} // namespace

bool SessionSnapshot::Save(const CTraceApp& app, const std::string& path, std::string& error)
{
    std::string temp;
    SSessionInfo info;
    if (!Begin(app, path, temp, info, error))
        return false;
    if (!SessionSaver::Save(*app.m_pTraceStore, info, temp, error)) {
        Discard(temp);
        return false;
    }
    return Finish(temp, path, error);
}

bool SessionSnapshot::Begin(const CTraceApp& app, const std::string& path, std::string& temp,
                            SSessionInfo& info, std::string& error)
{
    if (path.empty()) {
        error = "no file name was given for the session";
        return false;
    }
    if (CSessionLock::IsHeld(path)) {
        error = "the session file " + path + " is being recorded; choose another file to save into";
        return false;
    }
    const CTraceStore* store = app.m_pTraceStore.get();
    if (!store) {
        error = "there is no trace to save";
        return false;
    }
    // mkstemp makes the file new, empty and 0600: the writer takes it as its own.
    temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        error = "cannot create a file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    info.run = CSessionRun::Describe(app, CCommandLine{});
    AddDebugLines(*store, info);
    return true;
}

bool SessionSnapshot::Finish(const std::string& temp, const std::string& path, std::string& error)
{
    // A log left by an older file of that name would be taken for the new file's.
    for (const char* suffix : {"-wal", "-shm", "-journal"})
        std::remove((path + suffix).c_str());
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot save the session as " + path + ": " + std::strerror(errno);
        RemoveWithLog(temp);
        return false;
    }
    return true;
}

void SessionSnapshot::Discard(const std::string& temp) { RemoveWithLog(temp); }
